/* The least work a frame or a pointer move on X11 can cost, for the X11
 * benchmark to hold the desktop agent against:
 *
 *   x11_floor frame X Y WIDTH HEIGHT OUT_WIDTH OUT_HEIGHT LIMIT FRAMES Q1,Q2,...
 *     XShm capture of the root window's rectangle into one reused segment,
 *     box scaling only where the sizes differ, tjCompress2 (4:2:0) at each
 *     quality in turn until the JPEG fits LIMIT bytes, Base64 of the result.
 *     Prints "wall_ms cpu_ms bytes": the median wall time of a frame, the
 *     CPU time per frame, the last JPEG's size.
 *   x11_floor pointer MOVES
 *     an XTest motion and a round trip each. Prints the median in ms.
 *
 * DISPLAY names the server. Nothing of the agent is used. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <openssl/evp.h>
#include <turbojpeg.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static double cpu_ms(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

static int by_value(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double median(double* values, int count) {
    qsort(values, (size_t)count, sizeof *values, by_value);
    return values[count / 2];
}

/* Each target pixel the average of the source pixels it covers (BGRX). */
static void box_scale(const uint8_t* src, int stride, int sw, int sh, uint8_t* dst, int dw, int dh) {
    for (int row = 0; row < dh; ++row) {
        const int y0 = (int)((int64_t)row * sh / dh);
        int y1 = (int)((int64_t)(row + 1) * sh / dh);
        if (y1 <= y0) y1 = y0 + 1;
        for (int col = 0; col < dw; ++col) {
            const int x0 = (int)((int64_t)col * sw / dw);
            int x1 = (int)((int64_t)(col + 1) * sw / dw);
            if (x1 <= x0) x1 = x0 + 1;
            uint32_t sum[3] = {0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                const uint8_t* p = src + (size_t)y * (size_t)stride + (size_t)x0 * 4;
                for (int x = x0; x < x1; ++x, p += 4) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            const uint32_t n = (uint32_t)((y1 - y0) * (x1 - x0));
            uint8_t* out = dst + ((size_t)row * (size_t)dw + (size_t)col) * 4;
            for (int c = 0; c < 3; ++c) out[c] = (uint8_t)((sum[c] + n / 2) / n);
            out[3] = 0;
        }
    }
}

static int frames(Display* display, char** argv) {
    const int x = atoi(argv[0]), y = atoi(argv[1]), w = atoi(argv[2]), h = atoi(argv[3]);
    const int ow = atoi(argv[4]), oh = atoi(argv[5]);
    const unsigned long limit = strtoul(argv[6], NULL, 10);
    const int count = atoi(argv[7]);
    int qualities[32], rungs = 0;
    for (char* q = strtok(argv[8], ","); q != NULL && rungs < 32; q = strtok(NULL, ",")) qualities[rungs++] = atoi(q);
    if (count <= 0 || rungs == 0) return 2;

    const int screen = DefaultScreen(display);
    XShmSegmentInfo info;
    memset(&info, 0, sizeof info);
    XImage* image = XShmCreateImage(display, DefaultVisual(display, screen), (unsigned)DefaultDepth(display, screen),
                                    ZPixmap, NULL, &info, (unsigned)w, (unsigned)h);
    if (image == NULL) return 3;
    info.shmid = shmget(IPC_PRIVATE, (size_t)image->bytes_per_line * (size_t)h, IPC_CREAT | 0600);
    info.shmaddr = image->data = shmat(info.shmid, NULL, 0);
    shmctl(info.shmid, IPC_RMID, NULL);
    info.readOnly = False;
    if (!XShmAttach(display, &info)) return 3;

    uint8_t* scaled = (ow != w || oh != h) ? malloc((size_t)ow * (size_t)oh * 4) : NULL;
    tjhandle encoder = tjInitCompress();
    const unsigned long capacity = tjBufSize(ow, oh, TJSAMP_420);
    unsigned char* jpeg = malloc(capacity);
    unsigned char* text = malloc(4 * ((capacity + 2) / 3) + 1);
    double* walls = malloc(sizeof(double) * (size_t)count);
    unsigned long size = 0;
    /* Two frames first, as the agent gets: their buffers' first touch is not a frame's cost. */
    double cpu_start = 0;
    for (int i = -2; i < count; ++i) {
        if (i == 0) cpu_start = cpu_ms();
        const double start = now_ms();
        if (!XShmGetImage(display, DefaultRootWindow(display), image, x, y, AllPlanes)) return 4;
        const uint8_t* pixels = (const uint8_t*)image->data;
        int stride = image->bytes_per_line;
        if (scaled != NULL) {
            box_scale(pixels, stride, w, h, scaled, ow, oh);
            pixels = scaled;
            stride = ow * 4;
        }
        for (int r = 0; r < rungs; ++r) {
            unsigned char* out = jpeg;
            size = capacity;
            if (tjCompress2(encoder, pixels, ow, stride, oh, TJPF_BGRX, &out, &size, TJSAMP_420, qualities[r],
                            TJFLAG_NOREALLOC) != 0) {
                return 5;
            }
            if (size <= limit) break;
        }
        EVP_EncodeBlock(text, jpeg, (int)size);
        if (i >= 0) walls[i] = now_ms() - start;
    }
    const double cpu = (cpu_ms() - cpu_start) / count;
    printf("%.3f %.3f %lu\n", median(walls, count), cpu, size);
    XShmDetach(display, &info);
    XSync(display, False);
    shmdt(info.shmaddr);
    tjDestroy(encoder);
    free(scaled);
    free(jpeg);
    free(text);
    free(walls);
    return 0;
}

static int pointer(Display* display, int count) {
    if (count <= 0) return 2;
    double* times = malloc(sizeof(double) * (size_t)count);
    for (int i = 0; i < count; ++i) {
        const double start = now_ms();
        XTestFakeMotionEvent(display, -1, 100 + i % 200, 100 + i % 100, CurrentTime);
        XSync(display, False);
        times[i] = now_ms() - start;
    }
    printf("%.3f\n", median(times, count));
    free(times);
    return 0;
}

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(NULL);
    if (display == NULL) return 1;
    int status = 2;
    if (argc == 11 && strcmp(argv[1], "frame") == 0) status = frames(display, argv + 2);
    if (argc == 3 && strcmp(argv[1], "pointer") == 0) status = pointer(display, atoi(argv[2]));
    XCloseDisplay(display);
    return status;
}
