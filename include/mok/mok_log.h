/**
 * @file
 * libmok log extension: lets a host receive the library's log records.
 *
 * This is an extension beyond the library's core C families. The transport
 * and the video decoding service write records with a level, a target naming
 * the module (for example "mok_fxt::client::tcp") and a message. Without a
 * callback, Warn and Error records go to standard error, one line each, and
 * the rest are dropped.
 *
 * Repeated records are rate-limited, so a peer sending garbage cannot flood
 * the host's log: Error, Warn and Info records of one kind (same target and
 * message pattern, whatever the values in it) pass at most 10 times a second;
 * the next one to pass after some were held back is preceded by a record
 * "<n> similar records suppressed: <pattern>" at the same level and target.
 * Debug and Trace records are never held back.
 */
#ifndef MOK_LOG_H
#define MOK_LOG_H

#include <stdint.h>

#include "mok_export.h"

MOK_EXTERN_C_BEGIN

/* Log levels; a record passes when its level is <= the maximum level. */
#define MOK_LOG_OFF 0   /**< no records */
#define MOK_LOG_ERROR 1 /**< errors */
#define MOK_LOG_WARN 2  /**< warnings and errors */
#define MOK_LOG_INFO 3  /**< informational records and above */
#define MOK_LOG_DEBUG 4 /**< debugging details and above */
#define MOK_LOG_TRACE 5 /**< everything */

/**
 * Receives one log record. `target` and `message` are NUL-terminated and valid
 * only during the call. Called on whichever library thread logs (runtime
 * workers, decoding threads), possibly on several at once: it must be
 * thread-safe, must return quickly and must not call mok_log_set_callback.
 */
typedef void (*mok_log_cb)(int32_t level, const char* target, const char* message, void* user);

/**
 * Installs `cb` as the receiver of every record whose level is at most
 * `max_level` (MOK_LOG_OFF .. MOK_LOG_TRACE; values outside are clamped).
 * A null `cb` restores the default sink (standard error) with `max_level`.
 * When it returns, the previous callback is neither running nor called again,
 * so its user data may be released. Safe from any thread but the callback's.
 */
MOK_API void mok_log_set_callback(mok_log_cb cb, int32_t max_level, void* user);

MOK_EXTERN_C_END

#endif /* MOK_LOG_H */
