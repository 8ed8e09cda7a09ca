/* The C API used from C through <orvelsdk/orvelsdk.h> alone, against an
 * emulator started as a child process (its path is argv[1]). */
#define _GNU_SOURCE
#include <orvelsdk/orvelsdk.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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

/* Starts the emulator on a free port; output goes to `log_path`. */
static pid_t StartEmulator(const char* binary, const char* log_path, int* port) {
    pid_t pid = fork();
    if (pid == 0) {
        FILE* out = freopen(log_path, "w", stdout);
        (void)out;
        execl(binary, binary, "--listen", "127.0.0.1:0", "--user", "cuser:cpass", (char*)NULL);
        _exit(127);
    }
    for (int i = 0; i < 2000 && pid > 0; i++) {
        FILE* f = fopen(log_path, "r");
        char line[256];
        while (f != NULL && fgets(line, sizeof line, f) != NULL) {
            if (sscanf(line, "orvel-emulator listening on 127.0.0.1:%d", port) == 1) {
                fclose(f);
                return pid;
            }
        }
        if (f != NULL) fclose(f);
        usleep(10000);
    }
    return -1;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s EMULATOR\n", argv[0]);
        return 2;
    }
    char dir[] = "/tmp/orvel-c-test-XXXXXX";
    if (mkdtemp(dir) == NULL) return 2;
    char path[512];
    snprintf(path, sizeof path, "%s/emulator.out", dir);
    int port = 0;
    pid_t emulator = StartEmulator(argv[1], path, &port);
    if (emulator < 0) {
        fprintf(stderr, "emulator did not start\n");
        return 2;
    }
    char settings[512];
    snprintf(settings, sizeof settings, "%s/settings.ini", dir);
    FILE* ini = fopen(settings, "w");
    fprintf(ini,
            "[Tavik]\nServerRoot=127.0.0.1:%d\nSvrCommandRoot=127.0.0.1:%d\nPushNotifyRoot=127.0.0.1:%d\n"
            "[TavikShell]\nWebServerRoot=127.0.0.1:%d\n[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n",
            port, port, port, port);
    fclose(ini);
    setenv("ORVEL_SETTINGS_FILE", settings, 1);

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

    kill(emulator, SIGTERM);
    waitpid(emulator, NULL, 0);
    char rm[600];
    snprintf(rm, sizeof rm, "rm -rf '%s'", dir);
    if (system(rm) != 0) fprintf(stderr, "could not remove %s\n", dir);
    fprintf(stderr, failures == 0 ? "PASS\n" : "FAIL\n");
    return failures == 0 ? 0 : 1;
}
