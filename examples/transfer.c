/* Upload a file, download it back, then start another download and cancel it.
 * Each transfer runs on this thread; a second thread watches its progress
 * handle and prints the figures (and, for the last one, cancels it).
 *
 *   transfer USER PASSWORD LOCAL_FILE DOWNLOAD_PATH TEMP_FOLDER
 */
#include <orvelsdk/orvelsdk.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct Watch {
    ORVEL_PROGRESS progress;
    const char* what;
    int cancel;         /* cancel after a fifth of a second, as a user's Cancel button might */
    atomic_int running; /* cleared by main when the transfer has returned */
};

static void* WatchProgress(void* arg) {
    struct Watch* w = arg;
    const struct timespec pause = {0, 50 * 1000 * 1000};
    double last = -1;
    for (int polls = 0; atomic_load(&w->running); polls++) {
        double total = 0, done = 0, speed = 0;
        ORVEL_QueryProgress(w->progress, &total, &done, &speed);
        if (done != last) printf("%s: %.0f of %.0f bytes\n", w->what, done, total);
        last = done;
        if (w->cancel && polls == 4) {
            printf("%s: cancelling\n", w->what);
            ORVEL_CancelTransport(w->progress); /* the transfer stops at its next step */
            w->cancel = 0;
        }
        nanosleep(&pause, NULL);
    }
    return NULL;
}

/* Plain ASCII to UTF-16, enough for an example's paths. */
static char16_t* Widen(const char* text) {
    size_t n = strlen(text);
    char16_t* out = calloc(n + 1, sizeof(char16_t));
    for (size_t i = 0; out != NULL && i < n; i++) out[i] = (char16_t)(unsigned char)text[i];
    return out;
}

static void Report(const char* what, HRESULT hr) {
    BSTR name = NULL, meaning = NULL;
    ORVEL_GetResultText(hr, &name, &meaning);
    printf("%s: ", what);
    for (unsigned i = 0; i < SysStringLen(name); i++) putchar((char)name[i]);
    printf(" (");
    for (unsigned i = 0; i < SysStringLen(meaning); i++) putchar((char)meaning[i]);
    printf(")\n");
    SysFreeString(name);
    SysFreeString(meaning);
}

/* Runs one transfer with a watching thread. */
static HRESULT Watched(const char* what, int cancel, HRESULT (*run)(void*, ORVEL_PROGRESS), void* ctx) {
    struct Watch w = {NULL, what, cancel, 1};
    HRESULT hr = ORVEL_CreateProgress(&w.progress);
    if (hr < 0) return hr;
    pthread_t watcher;
    if (pthread_create(&watcher, NULL, WatchProgress, &w) != 0) {
        ORVEL_DestroyProgress(w.progress);
        return E_FAIL;
    }
    hr = run(ctx, w.progress);
    atomic_store(&w.running, 0);
    pthread_join(watcher, NULL);
    ORVEL_DestroyProgress(w.progress); /* only after the transfer returned */
    Report(what, hr);
    return hr;
}

struct Job {
    BSTR token;
    char16_t *local, *download, *temp;
    BSTR fileId;
};

static HRESULT RunUpload(void* p, ORVEL_PROGRESS progress) {
    struct Job* j = p;
    return ORVEL_Upload(j->token, u"0", u"example-transfer.bin", j->local, j->temp, &j->fileId, progress);
}

static HRESULT RunDownload(void* p, ORVEL_PROGRESS progress) {
    struct Job* j = p;
    /* Modify time, SHA-1 and version serve checks only: any non-empty text does. */
    return ORVEL_Download(j->token, j->fileId, u"-", j->download, u"-", u"-", j->temp, 0, progress);
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s USER PASSWORD LOCAL_FILE DOWNLOAD_PATH TEMP_FOLDER\n", argv[0]);
        return 2;
    }
    char16_t* user = Widen(argv[1]);
    char16_t* password = Widen(argv[2]);
    struct Job job = {NULL, Widen(argv[3]), Widen(argv[4]), Widen(argv[5]), NULL};
    BSTR userId = NULL, nick = NULL;
    HRESULT hr =
        ORVEL_Login(user, password, u"example-device", u"transfer-example", u"1.0", &userId, &job.token, &nick);
    int status = 1;
    if (hr < 0) {
        Report("login", hr);
    } else if (Watched("upload", 0, RunUpload, &job) >= 0 && Watched("download", 0, RunDownload, &job) >= 0) {
        hr = Watched("cancelled download", 1, RunDownload, &job);
        status = hr == E_OV_CANCELLED ? 0 : 1;
        ORVEL_Delete(job.token, job.fileId);
    }
    SysFreeString(userId);
    SysFreeString(nick);
    SysFreeString(job.token);
    SysFreeString(job.fileId);
    free(user);
    free(password);
    free(job.local);
    free(job.download);
    free(job.temp);
    return status;
}
