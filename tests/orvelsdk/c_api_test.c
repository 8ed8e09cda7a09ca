/* The C API used from C through <orvelsdk/orvelsdk.h> alone, against an
 * emulator that tests/support's with_emulator started for it. */
#define _GNU_SOURCE
#include <orvelsdk/orvelsdk.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* phase = "";
static int failures = 0;

#define CheckCondition(cond)                                                      \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "%s:%d: %s: %s\n", __FILE__, __LINE__, phase, #cond); \
            failures++;                                                           \
        }                                                                         \
    } while (0)

#define CheckResult(call, expected)                                                                       \
    do {                                                                                                  \
        HRESULT hr_ = (call);                                                                             \
        if (hr_ != (expected)) {                                                                          \
            fprintf(stderr, "%s:%d: %s: %s = 0x%08x\n", __FILE__, __LINE__, phase, #call, (unsigned)hr_); \
            failures++;                                                                                   \
        }                                                                                                 \
    } while (0)

static void StartPhase(const char* name) {
    fprintf(stderr, "=== %s\n", name);
    phase = name;
}

/* ASCII only: enough for this test's names. */
static void Widen(const char* in, char16_t* out, size_t cap) {
    size_t i = 0;
    for (; in[i] != 0 && i + 1 < cap; i++) out[i] = (char16_t)(unsigned char)in[i];
    out[i] = 0;
}

static int SameText(BSTR s, const char* ascii) {
    size_t n = strlen(ascii);
    if (s == NULL || SysStringLen(s) != n) return 0;
    for (size_t i = 0; i < n; i++)
        if (s[i] != (char16_t)(unsigned char)ascii[i]) return 0;
    return 1;
}

int main(void) {
    /* The emulator, the settings file naming it and this scratch folder come from
     * tests/support's with_emulator, which runs this program. */
    const char* dir = getenv("ORVEL_TEST_DIR");
    if (dir == NULL || getenv("ORVEL_SETTINGS_FILE") == NULL) {
        fprintf(stderr, "run through with_emulator\n");
        return 2;
    }

    BSTR user_id = NULL, token = NULL, nick = NULL;
    StartPhase("login");
    CheckResult(ORVEL_Login(u"cuser", u"cpass", u"dev", u"c-test", u"1", &user_id, &token, &nick), S_OK);
    CheckCondition(token != NULL && SysStringLen(token) > 0);
    CheckCondition(nick != NULL);

    StartPhase("space");
    int64_t used = -1, total = -1;
    CheckResult(ORVEL_GetSpace(token, u"", user_id, &used, &total), S_OK);
    CheckCondition(used >= 0 && total > 0);

    StartPhase("folders");
    BSTR folder = NULL, again = NULL;
    CheckResult(ORVEL_NewFolder(token, u"0", u"from-c", &folder), S_OK);
    CheckResult(ORVEL_NewFolder(token, u"0", u"from-c", &again), E_OV_TARGET_EXISTS);
    CheckCondition(folder != NULL && again != NULL && SysStringLen(folder) == SysStringLen(again) &&
                   memcmp(folder, again, SysStringLen(folder) * sizeof(char16_t)) == 0);

    StartPhase("upload");
    char local[512], back[512];
    snprintf(local, sizeof local, "%s/hello.txt", dir);
    snprintf(back, sizeof back, "%s/hello-back.txt", dir);
    FILE* f = fopen(local, "w");
    fputs("hello from C\n", f);
    fclose(f);
    char16_t wlocal[512], wback[512], wdir[512];
    Widen(local, wlocal, 512);
    Widen(back, wback, 512);
    Widen(dir, wdir, 512);
    ORVEL_PROGRESS progress = NULL;
    CheckResult(ORVEL_CreateProgress(&progress), S_OK);
    BSTR file_id = NULL;
    CheckResult(ORVEL_Upload(token, folder, u"hello.txt", wlocal, wdir, &file_id, progress), S_OK);
    double t = 0, d = 0, s = 0;
    CheckResult(ORVEL_QueryProgress(progress, &t, &d, &s), S_OK);

    StartPhase("list");
    ORVEL_FILELIST files = NULL;
    CheckResult(ORVEL_EnumFiles(token, folder, &files), S_OK);
    int count = 0, type = -1, size = -1;
    CheckResult(ORVEL_GetFilesNum(files, &count), S_OK);
    CheckCondition(count == 1);
    CheckResult(ORVEL_GetFileType(files, 0, &type), S_OK);
    CheckResult(ORVEL_GetFileSize(files, 0, &size), S_OK);
    CheckCondition(type == 1 && size == 13);
    BSTR name = NULL;
    CheckResult(ORVEL_GetFileName(files, 0, &name), S_OK);
    CheckCondition(SameText(name, "hello.txt"));
    CheckResult(ORVEL_GetFileName(files, 1, &name), E_INVALIDARG);
    CheckResult(ORVEL_DestoryFiles(files), S_OK);

    StartPhase("download");
    CheckResult(ORVEL_Download(token, file_id, u"m", wback, u"s", u"1", wdir, 0, progress), S_OK);
    char text[64] = {0};
    f = fopen(back, "r");
    if (f != NULL) {
        size_t n = fread(text, 1, sizeof text - 1, f);
        (void)n;
        fclose(f);
    }
    CheckCondition(strcmp(text, "hello from C\n") == 0);

    StartPhase("result text and version");
    BSTR rname = NULL, rmeaning = NULL;
    CheckResult(ORVEL_GetResultText(E_OV_TARGET_EXISTS, &rname, &rmeaning), S_OK);
    CheckCondition(SameText(rname, "E_OV_TARGET_EXISTS"));
    CheckCondition(SameText(rmeaning, "a file of that name already exists"));
    SysFreeString(rname);
    SysFreeString(rmeaning);
    rname = NULL;
    rmeaning = NULL;
    CheckResult(ORVEL_GetResultText(ORVEL_HR(0x8004ABCD), &rname, NULL), S_FALSE);
    CheckCondition(SameText(rname, "0x8004abcd"));
    SysFreeString(rname);
    rname = NULL;
    CheckResult(ORVEL_GetResultText(S_OK, NULL, &rmeaning), S_OK);
    CheckCondition(SameText(rmeaning, "success"));
    SysFreeString(rmeaning);
    CheckResult(ORVEL_GetResultText(E_FAIL, NULL, NULL), E_POINTER);
    int major = -1, minor = -1, patch = -1;
    CheckResult(ORVEL_GetVersion(&major, &minor, &patch), S_OK);
    CheckCondition(major == ORVEL_TEST_VERSION_MAJOR && minor == ORVEL_TEST_VERSION_MINOR &&
                   patch == ORVEL_TEST_VERSION_PATCH);
    CheckResult(ORVEL_GetVersion(NULL, &minor, NULL), S_OK);
    CheckResult(ORVEL_GetVersion(NULL, NULL, NULL), E_POINTER);

    StartPhase("cleanup");
    CheckResult(ORVEL_Delete(token, folder), E_OV_FOLDER_NON_EMPTY);
    CheckResult(ORVEL_Delete(token, file_id), S_OK);
    CheckResult(ORVEL_Delete(token, folder), S_OK);
    CheckResult(ORVEL_DestroyProgress(progress), S_OK);
    SysFreeString(name);
    SysFreeString(file_id);
    SysFreeString(folder);
    SysFreeString(again);
    SysFreeString(user_id);
    SysFreeString(token);
    SysFreeString(nick);

    return failures == 0 ? 0 : 1;
}
