#pragma once

#include <QtGlobal>

// What one service accepts from its clients. The defaults are the shipped bounds;
// every one of them can be changed on the command line.
struct ServerLimits
{
    static constexpr int defaultMaxDigests = 1000000;
    static constexpr int defaultMaxLineLength = 4096;
    static constexpr int defaultIdleTimeoutMs = 30000;
    static constexpr int defaultRequestTimeoutMs = 30000;
    static constexpr int defaultMinRequestRate = 64 * 1024;
    static constexpr int defaultDisplaceAfterMs = 1000;
    static constexpr int defaultMaxConnections = 256;
    static constexpr qint64 defaultMaxUploadSize = 64 * 1024 * 1024;
    static constexpr int defaultMaxReportSize = 64 * 1024;

    int maxDigests = defaultMaxDigests;       // digest lines in one registry request
    int maxLineLength = defaultMaxLineLength; // bytes of one line, line end excluded
    int idleTimeoutMs = defaultIdleTimeoutMs; // a connection that moves no byte this long is closed
    // A request (a registry request, an update line, a whole report or upload)
    // must be complete within this long of its first byte, plus one second for
    // every minRequestRate bytes moved meanwhile: a client that trickles bytes
    // is never idle, but it cannot keep a place for ever.
    int requestTimeoutMs = defaultRequestTimeoutMs;
    int minRequestRate = defaultMinRequestRate; // bytes per second
    // When every place is taken, a new client displaces the slowest connection
    // that has gone this long without completing a request.
    int displaceAfterMs = defaultDisplaceAfterMs;
    int maxConnections = defaultMaxConnections;  // open connections per service
    qint64 maxUploadSize = defaultMaxUploadSize; // bytes of one upload
    int maxReportSize = defaultMaxReportSize;    // bytes of one false-positive report
};
