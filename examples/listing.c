/* Sign in and print the whole folder tree, one item a line, with sizes.
 *
 *   listing USER PASSWORD
 */
#include <orvelsdk/orvelsdk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PrintText(BSTR text) {
    /* ASCII only, to keep the example short; other characters print as '?'. */
    for (unsigned i = 0; i < SysStringLen(text); i++) putchar(text[i] < 128 ? (char)text[i] : '?');
}

/* Lists one folder and, below each subfolder, its items, indented. */
static HRESULT ListTree(const char16_t* token, const char16_t* folderId, int depth) {
    if (depth > 64) return S_OK;
    ORVEL_FILELIST files = NULL;
    HRESULT hr = ORVEL_EnumFiles(token, folderId, &files);
    if (hr < 0) return hr;
    int count = 0;
    ORVEL_GetFilesNum(files, &count);
    for (unsigned i = 0; i < (unsigned)count && hr >= 0; i++) {
        int type = 1;
        int64_t size = 0;
        BSTR id = NULL, name = NULL;
        if ((hr = ORVEL_GetFileType(files, i, &type)) < 0 || (hr = ORVEL_GetFileSize64(files, i, &size)) < 0 ||
            (hr = ORVEL_GetFileId(files, i, &id)) < 0 || (hr = ORVEL_GetFileName(files, i, &name)) < 0) {
            SysFreeString(id);
            break;
        }
        printf("%*s", depth * 2, "");
        PrintText(name);
        if (type == 0) {
            printf("/\n");
            hr = ListTree(token, id, depth + 1);
        } else {
            printf("  %lld bytes\n", (long long)size);
        }
        SysFreeString(id);
        SysFreeString(name);
    }
    ORVEL_DestoryFiles(files); /* the handle and every item in it */
    return hr;
}

static char16_t* Widen(const char* text) {
    size_t n = strlen(text);
    char16_t* out = calloc(n + 1, sizeof(char16_t));
    for (size_t i = 0; out != NULL && i < n; i++) out[i] = (char16_t)(unsigned char)text[i];
    return out;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s USER PASSWORD\n", argv[0]);
        return 2;
    }
    char16_t* user = Widen(argv[1]);
    char16_t* password = Widen(argv[2]);
    BSTR userId = NULL, token = NULL, nick = NULL;
    HRESULT hr = ORVEL_Login(user, password, u"example-device", u"listing-example", u"1.0", &userId, &token, &nick);
    if (hr >= 0) {
        printf("/\n");
        hr = ListTree(token, u"0", 1);
    }
    if (hr < 0) {
        BSTR name = NULL;
        ORVEL_GetResultText(hr, &name, NULL);
        fprintf(stderr, "failed: ");
        for (unsigned i = 0; i < SysStringLen(name); i++) fputc((char)name[i], stderr);
        fputc('\n', stderr);
        SysFreeString(name);
    }
    SysFreeString(userId);
    SysFreeString(token);
    SysFreeString(nick);
    free(user);
    free(password);
    return hr < 0 ? 1 : 0;
}
