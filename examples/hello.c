/* Sign in, show the storage space and count the root folder's items. */
#include <orvelsdk/orvelsdk.h>
#include <stdio.h>

int main(void) {
    BSTR user_id = NULL, token = NULL, nick = NULL;
    HRESULT hr = ORVEL_Login(u"demo", u"demo", u"hello-device", u"hello", u"1.0", &user_id, &token, &nick);
    if (hr < 0) {
        fprintf(stderr, "login failed: 0x%08x\n", (unsigned)hr);
        return 1;
    }
    int64_t used = 0, total = 0;
    hr = ORVEL_GetSpace(token, u"", user_id, &used, &total);
    if (hr >= 0) printf("space: %lld of %lld MiB used\n", (long long)used, (long long)total);
    ORVEL_FILELIST files = NULL;
    int count = 0;
    if (hr >= 0 && (hr = ORVEL_EnumFiles(token, u"0", &files)) >= 0) {
        ORVEL_GetFilesNum(files, &count);
        ORVEL_DestoryFiles(files);
        printf("root folder: %d item(s)\n", count);
    }
    SysFreeString(user_id);
    SysFreeString(token);
    SysFreeString(nick);
    return hr < 0 ? 1 : 0;
}
