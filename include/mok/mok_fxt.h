/**
 * @file
 * libmok packet transport: packets, heads and wire encoding (mok_fxt_).
 *
 * A packet is a 24-byte head plus `length` payload bytes. Packet handles are
 * opaque; each holds one counted reference to a shared packet and is released
 * with mok_fxt_packet_free. A packet referred to by more than one handle (or
 * queued for sending) is read-only: every setter then returns false.
 * Every function accepts NULL pointers and then returns its neutral result
 * (false, 0, NULL, or 255 for a kind) without doing anything else.
 */
#ifndef MOK_FXT_H
#define MOK_FXT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "mok_export.h"

MOK_EXTERN_C_BEGIN

/** An opaque handle to a shared packet. */
typedef struct mok_fxt_packet mok_fxt_packet_t;

/** The six head fields in host byte order; 24 bytes, no padding. */
typedef struct mok_fxt_head {
  uint32_t length;    /**< payload bytes */
  uint8_t flags;      /**< MOK_FXT_FLAG_* bits */
  uint8_t kind;       /**< payload kind code */
  uint16_t stream_id; /**< 0 .. 511 */
  uint64_t seq;       /**< sender's sequence number */
  uint64_t ts;        /**< sender's monotonic time, microseconds */
} mok_fxt_head_t;

#if defined(__cplusplus)
#define MOK_FXT_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MOK_FXT_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define MOK_FXT_ASSERT(cond, name) typedef char mok_fxt_assert_##name[(cond) ? 1 : -1]
#endif
MOK_FXT_ASSERT(sizeof(mok_fxt_head_t) == 24, head_size);
MOK_FXT_ASSERT(offsetof(mok_fxt_head_t, flags) == 4, head_flags_offset);
MOK_FXT_ASSERT(offsetof(mok_fxt_head_t, kind) == 5, head_kind_offset);
MOK_FXT_ASSERT(offsetof(mok_fxt_head_t, stream_id) == 6, head_stream_id_offset);
MOK_FXT_ASSERT(offsetof(mok_fxt_head_t, seq) == 8, head_seq_offset);
MOK_FXT_ASSERT(offsetof(mok_fxt_head_t, ts) == 16, head_ts_offset);
#undef MOK_FXT_ASSERT

/* Limits. */
#define MOK_FXT_HEAD_LEN 24           /**< bytes in a packet head */
#define MOK_FXT_MAX_LENGTH 0x4000000u /**< largest payload length (64 MiB) */
#define MOK_FXT_STREAM_ID_LIMIT 512   /**< stream ids are below this */

/* Flag bits; parsing a received head keeps only MOK_FXT_FLAG_ALL. The
 * transport carries flags, it does not act on them. */
#define MOK_FXT_FLAG_END_STREAM 0x01  /**< END_STREAM bit */
#define MOK_FXT_FLAG_END_HEADERS 0x04 /**< END_HEADERS bit */
#define MOK_FXT_FLAG_PADDED 0x08      /**< PADDED bit */
#define MOK_FXT_FLAG_PRIORITY 0x20    /**< PRIORITY bit */
#define MOK_FXT_FLAG_READONLY 0x40    /**< READONLY bit */
#define MOK_FXT_FLAG_ALL 0x6D         /**< every defined flag bit */

/* Kind codes. */
#define MOK_FXT_KIND_DATA 0          /**< data */
#define MOK_FXT_KIND_HEADERS 1       /**< headers */
#define MOK_FXT_KIND_PRIORITY 2      /**< priority */
#define MOK_FXT_KIND_RESET 3         /**< stream reset */
#define MOK_FXT_KIND_SETTINGS 4      /**< settings */
#define MOK_FXT_KIND_PUSH_PROMISE 5  /**< push promise */
#define MOK_FXT_KIND_PING 6          /**< ping */
#define MOK_FXT_KIND_GO_AWAY 7       /**< go away */
#define MOK_FXT_KIND_WINDOW_UPDATE 8 /**< window update */
#define MOK_FXT_KIND_CONTINUATION 9  /**< continuation */
#define MOK_FXT_KIND_FLEX_REGS 20    /**< register record (device parameters) */
#define MOK_FXT_KIND_JSON 21         /**< JSON text */
#define MOK_FXT_KIND_XML 22          /**< XML text */
#define MOK_FXT_KIND_VIDEO_H264 23   /**< H.264 video */
#define MOK_FXT_KIND_VIDEO_H265 24   /**< H.265 video */
#define MOK_FXT_KIND_VIDEO_VP8 25    /**< VP8 video */
#define MOK_FXT_KIND_VIDEO_VP9 26    /**< VP9 video */
#define MOK_FXT_KIND_RAW_GRAY8 30    /**< raw 8-bit gray image */
#define MOK_FXT_KIND_RAW_GRAY16 31   /**< raw 16-bit gray image */
#define MOK_FXT_KIND_RAW_YUV 32      /**< raw YUV image */
#define MOK_FXT_KIND_RAW_RGB 33      /**< raw RGB image */
#define MOK_FXT_KIND_UNKNOWN 255     /**< unknown kind; never sent */

/*
 * Value rules for packets built here: a length is 0 or 4 .. 0x4000000; kind
 * 255 is refused (other codes are stored unchecked); a stream id is below 512.
 * Flags are stored as given.
 */

/* ---- Construction and lifetime ---- */

/** New packet of `length` zero bytes, seq 0, ts now; NULL if a rule refuses. Free with mok_fxt_packet_free. */
MOK_API mok_fxt_packet_t* mok_fxt_packet_new(uint32_t length, uint8_t flags, uint8_t kind, uint16_t stream_id);
/** New packet holding a copy of `payload` (NULL allowed when payload_len is 0); NULL if refused. Free with
 * mok_fxt_packet_free. */
MOK_API mok_fxt_packet_t* mok_fxt_packet_from_payload(uint8_t flags, uint8_t kind, uint16_t stream_id,
                                                      uint64_t seq, uint64_t ts, const uint8_t* payload,
                                                      uint32_t payload_len);
/** New handle to the same packet (nothing copied); NULL for NULL. Free with mok_fxt_packet_free. */
MOK_API mok_fxt_packet_t* mok_fxt_packet_clone(const mok_fxt_packet_t* packet);
/** Releases the handle; the packet goes with its last reference. NULL is ignored. */
MOK_API void mok_fxt_packet_free(mok_fxt_packet_t* packet);

/* ---- Fields ---- */

/** Payload length from the head; 0 for NULL. */
MOK_API uint32_t mok_fxt_packet_length(const mok_fxt_packet_t* packet);
/** Flags as stored; 0 for NULL. */
MOK_API uint8_t mok_fxt_packet_flags(const mok_fxt_packet_t* packet);
/** Kind code; 255 for NULL. */
MOK_API uint8_t mok_fxt_packet_kind(const mok_fxt_packet_t* packet);
/** Stream id; 0 for NULL. */
MOK_API uint16_t mok_fxt_packet_stream_id(const mok_fxt_packet_t* packet);
/** Sequence number; 0 for NULL. */
MOK_API uint64_t mok_fxt_packet_seq(const mok_fxt_packet_t* packet);
/** Time stamp in microseconds; 0 for NULL. */
MOK_API uint64_t mok_fxt_packet_ts(const mok_fxt_packet_t* packet);
/** Copies the head into *out; false if a pointer is NULL. */
MOK_API bool mok_fxt_packet_get_head(const mok_fxt_packet_t* packet, mok_fxt_head_t* out);

/* Setters: false (nothing changed) for NULL, a refused value or a shared packet. */

/** Stores flags unmasked. */
MOK_API bool mok_fxt_packet_set_flags(mok_fxt_packet_t* packet, uint8_t flags);
/** Stores a kind code; 255 refused. */
MOK_API bool mok_fxt_packet_set_kind(mok_fxt_packet_t* packet, uint8_t kind);
/** Stores a stream id; 512 and above refused. */
MOK_API bool mok_fxt_packet_set_stream_id(mok_fxt_packet_t* packet, uint16_t stream_id);
/** Stores the sequence number. */
MOK_API bool mok_fxt_packet_set_seq(mok_fxt_packet_t* packet, uint64_t seq);
/** Stores the time stamp. */
MOK_API bool mok_fxt_packet_set_ts(mok_fxt_packet_t* packet, uint64_t ts);
/** Sets the length and resizes the payload (cut at the end or zero-extended). */
MOK_API bool mok_fxt_packet_set_length(mok_fxt_packet_t* packet, uint32_t length);
/** Copies all six fields (flags unmasked) and resizes the payload to head->length. */
MOK_API bool mok_fxt_packet_set_head(mok_fxt_packet_t* packet, const mok_fxt_head_t* head);
/** Replaces the payload with a copy of `len` bytes; NULL bytes with len 0 is true and changes nothing. */
MOK_API bool mok_fxt_packet_set_payload(mok_fxt_packet_t* packet, const uint8_t* bytes, uint32_t len);

/* ---- Payload ---- */

/** Payload length, saturated at 0xFFFFFFFF; 0 for NULL. */
MOK_API uint32_t mok_fxt_packet_payload_len(const mok_fxt_packet_t* packet);
/**
 * Read-only pointer to the payload (valid while a reference to the unchanged
 * packet is held; owned by the packet); stores the length in *len_out if not
 * NULL. NULL with length 0 for an empty payload or a NULL handle.
 */
MOK_API const uint8_t* mok_fxt_packet_payload_ptr(const mok_fxt_packet_t* packet, uint32_t* len_out);
/** Copies min(payload length, dst_len) bytes to dst and returns that count; 0 for NULL. */
MOK_API size_t mok_fxt_packet_payload_copy(const mok_fxt_packet_t* packet, uint8_t* dst, size_t dst_len);

/* ---- Wire encoding ---- */

/** length + 24, saturated at 0xFFFFFFFF; 0 for NULL. */
MOK_API uint32_t mok_fxt_packet_wire_len(const mok_fxt_packet_t* packet);
/** Writes the 24 head bytes as stored (unvalidated); false for NULL or out_len < 24. */
MOK_API bool mok_fxt_packet_write_head_bytes(const mok_fxt_packet_t* packet, uint8_t* out, size_t out_len);
/** Writes head and payload; returns length + 24, or 0 (nothing written) for NULL or a short buffer. */
MOK_API size_t mok_fxt_packet_write_wire(const mok_fxt_packet_t* packet, uint8_t* out, size_t out_len);
/**
 * Parses one packet from the start of `bytes`. True: *out_packet is a new
 * handle (free with mok_fxt_packet_free) and *out_consumed = *out_needed =
 * its wire length. False: *out_needed is 0 for an invalid head (or a NULL
 * required pointer), otherwise the byte count needed before a retry can
 * succeed. out_consumed and out_needed may be NULL.
 */
MOK_API bool mok_fxt_packet_try_parse_wire(const uint8_t* bytes, size_t len, mok_fxt_packet_t** out_packet,
                                           size_t* out_consumed, size_t* out_needed);
/** Parses and checks a 24-byte head into *out (flags masked); false leaves *out untouched. */
MOK_API bool mok_fxt_head_parse(const uint8_t* bytes, size_t len, mok_fxt_head_t* out);
/** Writes the 24 wire bytes of *head (unvalidated); false for NULL or out_len < 24. */
MOK_API bool mok_fxt_head_write_bytes(const mok_fxt_head_t* head, uint8_t* out, size_t out_len);

/* ---- Version ---- */

/** 65798: major << 16 | minor << 8 | patch of "1.1.6". */
MOK_API uint32_t mok_fxt_version_code(void);
/** Static text "1.1.6"; do not free. */
MOK_API const char* mok_fxt_version_str(void);

/* ---- Connections ---- */

/*
 * A connection to one device address, with automatic reconnection.
 *
 * Connection states reported through mok_fxt_state_cb_t (never renumbered). */
#define MOK_FXT_STATE_IDLE 0            /**< never reported */
#define MOK_FXT_STATE_CONNECTED 1       /**< the TCP connection is up */
#define MOK_FXT_STATE_CONNECT_FAILED 2  /**< the peer refused or could not be reached */
#define MOK_FXT_STATE_CONNECT_TIMEOUT 3 /**< the connection attempt took too long */
#define MOK_FXT_STATE_DISCONNECTED 4    /**< an established connection ended */
#define MOK_FXT_STATE_SHUTTING_DOWN 5   /**< the connection is being shut down */
#define MOK_FXT_STATE_TERMINATED 6      /**< the connection task has ended */
#define MOK_FXT_STATE_RECONNECTING 7    /**< a new attempt starts (after the reconnect delay, 5 s by default) */

/** An opaque handle to a connection; released with mok_fxt_conn_free or
 * mok_fxt_disconnect (exactly one of them). */
typedef struct mok_fxt_conn mok_fxt_conn_t;

/**
 * Receives one packet. Called on a library worker thread, never on a host
 * thread, one call at a time per connection and in arrival order. The handle
 * belongs to the library and is valid only during the call: do not free it;
 * keep the packet with mok_fxt_packet_clone (then free the clone). While it
 * runs the connection reads nothing, so it should return quickly. It may call
 * the non-creating functions below but not mok_fxt_conn_new, mok_fxt_connect
 * or mok_fxt_disconnect.
 */
typedef void (*mok_fxt_packet_cb_t)(mok_fxt_packet_t* packet);

/**
 * Receives one state code (MOK_FXT_STATE_*). Called on a library worker
 * thread, one call at a time per connection, in order. All of a connection's
 * work runs on one worker, so its state and packet callbacks never overlap.
 * The same calling rules apply. Both callbacks
 * must stay callable after the handle is released: the connection reports
 * SHUTTING_DOWN, DISCONNECTED and TERMINATED while it winds down.
 */
typedef void (*mok_fxt_state_cb_t)(uint32_t state);

/**
 * Creates a connection to `addr` ("host:port", "1.2.3.4:port" or
 * "[v6]:port"; the name is resolved now, on the calling thread, and only its
 * first address is used). Nothing connects before mok_fxt_conn_start.
 * Returns NULL if `addr` is NULL, not UTF-8 or does not resolve, if either
 * callback is NULL (both are required), or if the library's worker threads
 * cannot be created. Release with mok_fxt_conn_free or mok_fxt_disconnect.
 */
MOK_API mok_fxt_conn_t* mok_fxt_conn_new(const char* addr, mok_fxt_packet_cb_t packet_cb,
                                         mok_fxt_state_cb_t state_cb);

/** As mok_fxt_conn_new, then starts the connection; NULL also when the start
 * fails. Returns without waiting for the TCP connection. */
MOK_API mok_fxt_conn_t* mok_fxt_connect(const char* addr, mok_fxt_packet_cb_t packet_cb,
                                        mok_fxt_state_cb_t state_cb);

/** Asks the connection to connect (and keep reconnecting, 5 s by default, after a
 * loss or failure while auto-reconnect is on). False after a shutdown. */
MOK_API bool mok_fxt_conn_start(mok_fxt_conn_t* conn);

/** Asks the connection to disconnect and stay idle until the next start.
 * False after a shutdown. */
MOK_API bool mok_fxt_conn_stop(mok_fxt_conn_t* conn);

/** Shuts the connection down for good without waiting; true if the request
 * reached the connection, false if it had already ended. The handle must
 * still be released. */
MOK_API bool mok_fxt_conn_shutdown(mok_fxt_conn_t* conn);

/** Queues `packet` for sending without waiting or copying its payload; the
 * caller keeps (and must still free) its handle, whose setters fail until the
 * packet has been written. False while not connected (also inside the
 * CONNECTED callback), after stop or shutdown, with 100 packets waiting, or
 * for a packet whose length is below 4 (every receiver refuses such a head,
 * so it is never sent). */
MOK_API bool mok_fxt_conn_send_packet(mok_fxt_conn_t* conn, mok_fxt_packet_t* packet);

/** Switches automatic reconnection (on by default). */
MOK_API void mok_fxt_conn_set_auto_reconnect(mok_fxt_conn_t* conn, bool enabled);

/** Shuts the connection down (without waiting) and releases the handle. */
MOK_API void mok_fxt_conn_free(mok_fxt_conn_t* conn);

/** As mok_fxt_conn_free; also releases the handle when the library's worker
 * threads cannot be created. Must not be called from a callback. */
MOK_API void mok_fxt_disconnect(mok_fxt_conn_t* conn);

/* ---- Extensions: connection statistics and last failure ----
 * Additions beyond the transport interface above; they change none of its
 * behaviour. Counting costs the connection only relaxed atomic additions.
 * Consistency: each counter is read atomically and never goes back, but the
 * counters are read one after another while the connection runs, so two
 * counters may disagree by the events in flight during the copy (for
 * example packets_received one ahead of bytes_received). */

/** Counters of one connection, since mok_fxt_conn_new. Grows only at its
 * end; the first field tells how many bytes the library filled. */
typedef struct mok_fxt_conn_stats {
  uint32_t size;                       /**< bytes filled by the library */
  uint32_t state;                      /**< MOK_FXT_STATE_* last reported (0 before any) */
  uint64_t time_in_state_ms;           /**< milliseconds since that state was reported */
  uint64_t connect_attempts;           /**< TCP connection attempts */
  uint64_t connections_established;    /**< attempts that connected */
  uint64_t disconnects_remote_close;   /**< ended by the peer (end of stream, also inside a packet; reset) */
  uint64_t disconnects_inactivity;     /**< ended by the inactivity time-out (10 s by default) */
  uint64_t disconnects_decode_error;   /**< ended because the byte stream was not valid packets */
  uint64_t disconnects_write_failure;  /**< ended because a write failed or timed out */
  uint64_t disconnects_stop;           /**< ended by stop or shutdown */
  uint64_t bytes_received;             /**< head and payload bytes of received packets */
  uint64_t bytes_sent;                 /**< head and payload bytes of written packets */
  uint64_t packets_received;           /**< packets received */
  uint64_t packets_sent;               /**< packets written */
  uint64_t send_refused_not_connected; /**< sends refused: not connected, stopped or shut down */
  uint64_t send_refused_queue_full;    /**< sends refused: 100 packets waiting */
  uint64_t queue_depth;                /**< packets waiting to be written now */
} mok_fxt_conn_stats_t;

/** Copies the connection's counters into *out: the first `size` bytes of the
 * library's struct (pass sizeof(mok_fxt_conn_stats_t)), rounded down to
 * whole fields, with out->size set to the bytes filled. False for a null
 * handle or `out`, or a `size` below 4. Any thread, also from callbacks. */
MOK_API bool mok_fxt_conn_get_stats(mok_fxt_conn_t* conn, mok_fxt_conn_stats_t* out, uint32_t size);

/** Copies the text of the connection's most recent failure (a connect
 * failure's system error, "connect timed out", a decode error, a write
 * failure, "remote closed read half", ...): stores the size needed (length +
 * 1) into *length, then copies the text and a terminating zero into `buffer`
 * when *length (its capacity on entry) is large enough, else returns false
 * with the buffer untouched. A null buffer is a size query (true). False with
 * *length 0 before any failure. Any thread, also from callbacks. */
MOK_API bool mok_fxt_conn_last_error(mok_fxt_conn_t* conn, char* buffer, uint32_t* length);

/* ---- Extensions: connection timings ----
 * Additions beyond the transport interface above: without them a connection
 * waits 5000 ms before reconnecting and allows 10000 ms for a connection
 * attempt, for a silence (no packet either way) and for each write of a
 * packet's head or payload; nothing else changes. */

/** Sets the connection's timings, in milliseconds, before its first
 * mok_fxt_conn_start; 0 keeps a timing's default. Ranges: reconnect delay,
 * connect time-out and write time-out 10 to 86400000; inactivity time-out
 * 100 to 86400000. False (nothing changed) for a null handle, a value out of
 * range, or once the connection was started (also by mok_fxt_connect). */
MOK_API bool mok_fxt_conn_set_timing(mok_fxt_conn_t* conn, uint32_t reconnect_delay_ms,
                                     uint32_t connect_timeout_ms, uint32_t inactivity_timeout_ms,
                                     uint32_t write_timeout_ms);

/* ---- Extensions: flushing queued packets ---- */

/** Waits up to timeout_ms (0: no wait) until every packet queued on the
 * connection before the call has been written to the socket. True then (also
 * when nothing was queued and the connection is up); false for a null handle,
 * when the connection is not up or goes down first, when a queued packet was
 * lost with a failed write, or when the time passes first. Blocks the
 * caller: never call it from a callback. */
MOK_API bool mok_fxt_conn_flush(mok_fxt_conn_t* conn, uint32_t timeout_ms);

MOK_EXTERN_C_END

#endif /* MOK_FXT_H */
