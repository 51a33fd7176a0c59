/*
 * The host runtime: the log function the driver imports, and a way for the
 * host application to receive its lines.
 *
 * err formats one line with printf rules and hands the finished text (no
 * line break) to the handler set with qorhost_set_log_handler; with no
 * handler it writes the level and the line to standard error.
 *
 * On Linux the runtime exports err under a version node of its own
 * (QORHOST_1.0) and the driver links against it, so the driver's reference
 * can never bind to the C library's err(3), which would end the process.
 */
#ifndef DOVED_QORHOST_H
#define DOVED_QORHOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(QORHOST_BUILDING)
#define QORHOST_API __declspec(dllexport)
#else
#define QORHOST_API __declspec(dllimport)
#endif
#define QORHOST_CALL __cdecl
#else
#define QORHOST_API __attribute__((visibility("default")))
#define QORHOST_CALL
#endif

/* Log levels: what the operator is to see, and diagnostics. */
#define QOR_LOG_OPERATOR 32
#define QOR_LOG_DIAGNOSTIC 8

typedef void (*QorLogHandler)(int32_t level, const char *line, void *user);

QORHOST_API void QORHOST_CALL err(int32_t level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Sets (or, with NULL, clears) the handler that receives every line. */
QORHOST_API void QORHOST_CALL qorhost_set_log_handler(QorLogHandler handler, void *user);

#ifdef __cplusplus
}
#endif

#endif
