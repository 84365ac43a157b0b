/*
 * What both installed-package consumers do: write a small grey PGM (written
 * by hand, so that the consumers need no imaging library), rectify a
 * quadrilateral of it through the installed library, and check the returned
 * paths and the written image's size; then reach the extended API through its
 * installed header. Compiles as C and as C++.
 */
#ifndef ZENTREL_CONSUMER_CHECK_H
#define ZENTREL_CONSUMER_CHECK_H

#include <stdio.h>
#include <string.h>

#include <zentrel/zentrel.h>
#include <zentrel/zentrel_ext.h>

enum { kCardWidth = 64, kCardHeight = 48, kPathCapacity = 256 };

static int ConsumerFail(const char* what, const char* detail) {
    fprintf(stderr, "consumer: %s: %s\n", what, detail);
    return 1;
}

static int WriteCard(const char* path) {
    FILE* file = fopen(path, "wb");
    if (file == NULL) return 0;
    fprintf(file, "P5\n%d %d\n255\n", kCardWidth, kCardHeight);
    for (int y = 0; y < kCardHeight; ++y) {
        for (int x = 0; x < kCardWidth; ++x) fputc((x * 4 + y * 2) & 0xFF, file);
    }
    return fclose(file) == 0;
}

/* Reads the size from a binary PGM header (no comments: OpenCV writes none). */
static int ReadPgmSize(const char* path, int* width, int* height) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return 0;
    int maxValue = 0;
    const int fields = fscanf(file, "P5 %d %d %d", width, height, &maxValue);
    fclose(file);
    return fields == 3;
}

/* `folder` must exist and end with '/'. Returns the process exit status. */
static int RunConsumerCheck(const char* folder) {
    char input[kPathCapacity];
    char expected[kPathCapacity];
    char savePath[kPathCapacity];
    snprintf(input, sizeof input, "%scard.pgm", folder);
    snprintf(expected, sizeof expected, "%scard_pers.pgm", folder);
    snprintf(savePath, sizeof savePath, "%s", folder);
    if (!WriteCard(input)) return ConsumerFail("cannot write", input);

    /* Corners (8,4) (55,4) (55,39) (8,39): all x first, then all y. */
    SavePerspectiveImage(8, 55, 55, 8, 4, 4, 39, 39, savePath, "card", "pgm");
    fflush(stdout);

    if (strcmp(savePath, expected) != 0) return ConsumerFail("savePath is", savePath);
    const ZentrelWideChar* wide = ReturnPath();
    if (wide == NULL) return ConsumerFail("ReturnPath", "null");
    size_t i = 0;
    for (; expected[i] != '\0'; ++i) {
        if (wide[i] != (ZentrelWideChar)(unsigned char)expected[i]) break;
    }
    if (expected[i] != '\0' || wide[i] != 0) return ConsumerFail("ReturnPath differs from", expected);

    int width = 0;
    int height = 0;
    if (!ReadPgmSize(expected, &width, &height)) return ConsumerFail("cannot read", expected);
    if (width != 47 || height != 35) {
        fprintf(stderr, "consumer: output is %d x %d, not 47 x 35\n", width, height);
        return 1;
    }
    if (strcmp(zentrel_version(), ZENTREL_VERSION_STRING) != 0) {
        return ConsumerFail("zentrel_version is", zentrel_version());
    }
    if (strcmp(zentrel_last_error(), "") != 0) return ConsumerFail("last error", zentrel_last_error());
    ZentrelTile tile;
    memset(&tile, 0, sizeof tile);
    tile.size = sizeof tile;
    snprintf(input, sizeof input, "%smissing.pgm", folder);
    if (zentrel_estimate_tile(input, &tile) != ZENTREL_ERROR_UNREADABLE) {
        return ConsumerFail("zentrel_estimate_tile did not refuse", input);
    }
    fflush(stdout);
    if (strstr(zentrel_last_error(), input) == NULL) {
        return ConsumerFail("last error does not name the file", zentrel_last_error());
    }
    printf("consumer ok: %s (%d x %d), library %s\n", expected, width, height,
           ZENTREL_VERSION_STRING);
    return 0;
}

#endif /* ZENTREL_CONSUMER_CHECK_H */
