/** @file
 * Register records: compose and read the (register id, value) records that
 * travel as the payload of FlexRegs packets. A record is a list of entries:
 * reserved byte 0, word count w, register id (u16 little-endian), 2 * w value
 * bytes (an odd-length value gets one zero pad byte, an empty one two zero
 * bytes). Values carry no type; writer and reader agree on it by register id.
 *
 * Status codes (int32_t): MOK_FXR_OK, MOK_FXR_ERR_NULL (a required pointer is
 * NULL), MOK_FXR_ERR_NOT_FOUND (no reachable entry has the id),
 * MOK_FXR_ERR_TOO_SMALL (the destination is too small; nothing is stored),
 * MOK_FXR_ERR_NO_MEMORY (memory ran out during an array or text lookup;
 * nothing is stored).
 * Functions delivering arrays or text return the element count or text length
 * (0 or more) on success instead.
 *
 * Buffer sizes: a value holds at most MOK_FXR_MAX_VALUE_BYTES bytes, so a
 * destination of that many bytes (MOK_FXR_MAX_VALUE_BYTES / sizeof(t)
 * elements) always fits an array lookup, and one of MOK_FXR_MAX_TEXT_BYTES
 * always fits a text lookup. The exact size of an iterated entry is its `len`.
 *
 * Lookups rescan the record from its start; the first entry with the id wins.
 * A record that ends early (a header announcing more bytes than remain) ends
 * the walk there: that entry and all later ones are unreachable.
 *
 * Threads: a builder or iterator is used by one thread at a time; lookups only
 * read, so several threads may look up in the same bytes at once. Nothing here
 * logs, allocates for scalar results, or lets a failure escape. */
#ifndef MOK_FXR_H
#define MOK_FXR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "mok/mok_export.h"

MOK_EXTERN_C_BEGIN

#define MOK_FXR_OK 0               /**< success */
#define MOK_FXR_ERR_NULL (-1)      /**< a required pointer is NULL */
#define MOK_FXR_ERR_NOT_FOUND (-2) /**< no reachable entry has the id */
#define MOK_FXR_ERR_TOO_SMALL (-3) /**< the destination is too small; nothing is stored */
#define MOK_FXR_ERR_NO_MEMORY (-4) /**< memory ran out during a lookup; nothing is stored */

/** Largest value an entry can hold (255 words). Longer pushes are refused:
 * nothing is appended. */
#define MOK_FXR_MAX_VALUE_BYTES 510
/** Longest text lookup result plus its NUL: every value byte may become the
 * three-byte replacement character. */
#define MOK_FXR_MAX_TEXT_BYTES 1531

/** A builder: owns a growable record. Create with mok_fxr_builder_new, release
 * with mok_fxr_builder_free. */
typedef struct mok_fxr_builder mok_fxr_builder_t;
/** An iterator over record bytes it does not own. Create with mok_fxr_iter_new,
 * release with mok_fxr_iter_free. */
typedef struct mok_fxr_iter mok_fxr_iter_t;

/** Record bytes owned by someone else. (Untagged: a tag named like the
 * function mok_fxr_view would be hidden by it in C++.) */
typedef struct {
  const uint8_t* data; /**< first record byte; may be NULL when len is 0 */
  size_t len;          /**< number of record bytes */
} mok_fxr_view_t;

/** One entry filled by mok_fxr_iter_next: `data` points into the walked record
 * and holds all 2 * w value bytes (`len`), pad byte included. Owns nothing. */
typedef struct {
  uint16_t id;         /**< register id */
  const uint8_t* data; /**< value bytes inside the walked record */
  size_t len;          /**< value bytes (2 * w), pad byte included */
} mok_fxr_entry_t;

/* ---- Handles, views, iteration, version ---------------------------------- */

/** New empty builder, owned by the caller (mok_fxr_builder_free); NULL if memory runs out. */
MOK_API mok_fxr_builder_t* mok_fxr_builder_new(void);
/** Releases the builder and its bytes; NULL is ignored. */
MOK_API void mok_fxr_builder_free(mok_fxr_builder_t* builder);
/** View of the builder's bytes, valid until the next push to or release of the builder; {NULL, 0} for a NULL
 * builder. An empty builder gives len 0 and a non-NULL data that must not be read. */
MOK_API mok_fxr_view_t mok_fxr_builder_view(const mok_fxr_builder_t* builder);
/** The view {data, len}; len is forced to 0 when data is NULL. */
MOK_API mok_fxr_view_t mok_fxr_view(const uint8_t* data, size_t len);
/** New iterator at the first entry, owned by the caller (mok_fxr_iter_free); the viewed bytes must outlive it and
 * every entry taken from it. NULL if view.data is NULL. */
MOK_API mok_fxr_iter_t* mok_fxr_iter_new(mok_fxr_view_t view);
/** true with the next entry stored in *out; false at the end (then *out is untouched, and every later call is
 * false too) or if a pointer is NULL. */
MOK_API bool mok_fxr_iter_next(mok_fxr_iter_t* iter, mok_fxr_entry_t* out);
/** Releases the iterator, not the bytes it walks; NULL is ignored. */
MOK_API void mok_fxr_iter_free(mok_fxr_iter_t* iter);
/** Static NUL-terminated version text "1.1.0"; never freed. */
MOK_API const char* mok_fxr_version(void);

/* ---- Building: every push appends one whole entry or nothing -------------- */
/* Pushes do nothing when the builder or a data pointer is NULL, and refuse
 * (append nothing) values longer than MOK_FXR_MAX_VALUE_BYTES. */

/** Appends len bytes unchanged, with no entry header (entries encoded elsewhere); nothing if data is NULL. */
MOK_API void mok_fxr_push_bytes(mok_fxr_builder_t* builder, const uint8_t* data, size_t len);

/** Appends a int8_t entry (w = 1, plus a zero pad byte). */
MOK_API void mok_fxr_push_i8(mok_fxr_builder_t* builder, uint16_t id, int8_t value);
/** Appends an array entry of count int8_t values (odd counts get a zero pad byte); two zero bytes if count is 0;
 * nothing if values is NULL or the array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_i8s(mok_fxr_builder_t* builder, uint16_t id, const int8_t* values, size_t count);
/** Appends a uint8_t entry (w = 1, plus a zero pad byte). */
MOK_API void mok_fxr_push_u8(mok_fxr_builder_t* builder, uint16_t id, uint8_t value);
/** Appends an array entry of count uint8_t values (odd counts get a zero pad byte); two zero bytes if count is 0;
 * nothing if values is NULL or the array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_u8s(mok_fxr_builder_t* builder, uint16_t id, const uint8_t* values, size_t count);
/** Appends a int16_t entry (w = 1). */
MOK_API void mok_fxr_push_i16(mok_fxr_builder_t* builder, uint16_t id, int16_t value);
/** Appends an array entry of count int16_t values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_i16s(mok_fxr_builder_t* builder, uint16_t id, const int16_t* values, size_t count);
/** Appends a uint16_t entry (w = 1). */
MOK_API void mok_fxr_push_u16(mok_fxr_builder_t* builder, uint16_t id, uint16_t value);
/** Appends an array entry of count uint16_t values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_u16s(mok_fxr_builder_t* builder, uint16_t id, const uint16_t* values, size_t count);
/** Appends a int32_t entry (w = 2). */
MOK_API void mok_fxr_push_i32(mok_fxr_builder_t* builder, uint16_t id, int32_t value);
/** Appends an array entry of count int32_t values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_i32s(mok_fxr_builder_t* builder, uint16_t id, const int32_t* values, size_t count);
/** Appends a uint32_t entry (w = 2). */
MOK_API void mok_fxr_push_u32(mok_fxr_builder_t* builder, uint16_t id, uint32_t value);
/** Appends an array entry of count uint32_t values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_u32s(mok_fxr_builder_t* builder, uint16_t id, const uint32_t* values, size_t count);
/** Appends a int64_t entry (w = 4). */
MOK_API void mok_fxr_push_i64(mok_fxr_builder_t* builder, uint16_t id, int64_t value);
/** Appends an array entry of count int64_t values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_i64s(mok_fxr_builder_t* builder, uint16_t id, const int64_t* values, size_t count);
/** Appends a uint64_t entry (w = 4). */
MOK_API void mok_fxr_push_u64(mok_fxr_builder_t* builder, uint16_t id, uint64_t value);
/** Appends an array entry of count uint64_t values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_u64s(mok_fxr_builder_t* builder, uint16_t id, const uint64_t* values, size_t count);
/** Appends a float entry (w = 2). */
MOK_API void mok_fxr_push_f32(mok_fxr_builder_t* builder, uint16_t id, float value);
/** Appends an array entry of count float values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_f32s(mok_fxr_builder_t* builder, uint16_t id, const float* values, size_t count);
/** Appends a double entry (w = 4). */
MOK_API void mok_fxr_push_f64(mok_fxr_builder_t* builder, uint16_t id, double value);
/** Appends an array entry of count double values; two zero bytes if count is 0; nothing if values is NULL or the
 * array exceeds MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_f64s(mok_fxr_builder_t* builder, uint16_t id, const double* values, size_t count);
/** Appends a text entry: the bytes of text without its NUL, padded to an even length; nothing if text is NULL or
 * longer than MOK_FXR_MAX_VALUE_BYTES. */
MOK_API void mok_fxr_push_cstr(mok_fxr_builder_t* builder, uint16_t id, const char* text);

/* ---- Lookups by register id ----------------------------------------------- */
/* Order of checks: NULL pointers (-1), then the search (-2), then the
 * destination size (-3). A view with NULL data finds nothing. */

/** 0 with the value's first 1 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_i8(const mok_fxr_view_t* view, uint16_t id, int8_t* out);
/** Element count n = 2 * w / 1 (all 2 * w value bytes, pad byte included) with the n elements stored at dst; -1 if
 * view or dst is NULL; -2 if not found; -3 if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_i8s(const mok_fxr_view_t* view, uint16_t id, int8_t* dst, size_t cap);
/** 0 with the value's first 1 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_u8(const mok_fxr_view_t* view, uint16_t id, uint8_t* out);
/** Element count n = 2 * w / 1 (all 2 * w value bytes, pad byte included) with the n elements stored at dst; -1 if
 * view or dst is NULL; -2 if not found; -3 if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_u8s(const mok_fxr_view_t* view, uint16_t id, uint8_t* dst, size_t cap);
/** 0 with the value's first 2 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_i16(const mok_fxr_view_t* view, uint16_t id, int16_t* out);
/** Element count n = 2 * w / 2 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_i16s(const mok_fxr_view_t* view, uint16_t id, int16_t* dst, size_t cap);
/** 0 with the value's first 2 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_u16(const mok_fxr_view_t* view, uint16_t id, uint16_t* out);
/** Element count n = 2 * w / 2 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_u16s(const mok_fxr_view_t* view, uint16_t id, uint16_t* dst, size_t cap);
/** 0 with the value's first 4 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_i32(const mok_fxr_view_t* view, uint16_t id, int32_t* out);
/** Element count n = 2 * w / 4 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_i32s(const mok_fxr_view_t* view, uint16_t id, int32_t* dst, size_t cap);
/** 0 with the value's first 4 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_u32(const mok_fxr_view_t* view, uint16_t id, uint32_t* out);
/** Element count n = 2 * w / 4 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_u32s(const mok_fxr_view_t* view, uint16_t id, uint32_t* dst, size_t cap);
/** 0 with the value's first 8 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_i64(const mok_fxr_view_t* view, uint16_t id, int64_t* out);
/** Element count n = 2 * w / 8 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_i64s(const mok_fxr_view_t* view, uint16_t id, int64_t* dst, size_t cap);
/** 0 with the value's first 8 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_u64(const mok_fxr_view_t* view, uint16_t id, uint64_t* out);
/** Element count n = 2 * w / 8 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_u64s(const mok_fxr_view_t* view, uint16_t id, uint64_t* dst, size_t cap);
/** 0 with the value's first 4 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_f32(const mok_fxr_view_t* view, uint16_t id, float* out);
/** Element count n = 2 * w / 4 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_f32s(const mok_fxr_view_t* view, uint16_t id, float* dst, size_t cap);
/** 0 with the value's first 8 byte(s) little-endian in *out (0 if the value is shorter); -1 if view or out is
 * NULL; -2 if not found (*out untouched). */
MOK_API int32_t mok_fxr_peek_f64(const mok_fxr_view_t* view, uint16_t id, double* out);
/** Element count n = 2 * w / 8 with the n elements stored at dst; -1 if view or dst is NULL; -2 if not found; -3
 * if cap < n, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_f64s(const mok_fxr_view_t* view, uint16_t id, double* dst, size_t cap);
/** Text length m (bytes, no NUL) with the value as UTF-8 (invalid sequences become U+FFFD, zero bytes such as a
 * pad byte stay) and a NUL stored at dst; -1 if view or dst is NULL; -3 if cap is 0 (checked before the search);
 * -2 if not found; -3 if m >= cap, -4 if memory runs out (nothing stored in either case). */
MOK_API int32_t mok_fxr_peek_cstr(const mok_fxr_view_t* view, uint16_t id, char* dst, size_t cap);

/* ---- Conversions of an iterated entry -------------------------------------- */

/** The first 1 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 1. */
MOK_API int8_t mok_fxr_as_i8(const mok_fxr_entry_t* entry);
/** Element count n = len / 1 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_i8s(const mok_fxr_entry_t* entry, int8_t* dst, size_t cap);
/** The first 1 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 1. */
MOK_API uint8_t mok_fxr_as_u8(const mok_fxr_entry_t* entry);
/** Element count n = len / 1 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_u8s(const mok_fxr_entry_t* entry, uint8_t* dst, size_t cap);
/** The first 2 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 2. */
MOK_API int16_t mok_fxr_as_i16(const mok_fxr_entry_t* entry);
/** Element count n = len / 2 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_i16s(const mok_fxr_entry_t* entry, int16_t* dst, size_t cap);
/** The first 2 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 2. */
MOK_API uint16_t mok_fxr_as_u16(const mok_fxr_entry_t* entry);
/** Element count n = len / 2 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_u16s(const mok_fxr_entry_t* entry, uint16_t* dst, size_t cap);
/** The first 4 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 4. */
MOK_API int32_t mok_fxr_as_i32(const mok_fxr_entry_t* entry);
/** Element count n = len / 4 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_i32s(const mok_fxr_entry_t* entry, int32_t* dst, size_t cap);
/** The first 4 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 4. */
MOK_API uint32_t mok_fxr_as_u32(const mok_fxr_entry_t* entry);
/** Element count n = len / 4 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_u32s(const mok_fxr_entry_t* entry, uint32_t* dst, size_t cap);
/** The first 8 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 8. */
MOK_API int64_t mok_fxr_as_i64(const mok_fxr_entry_t* entry);
/** Element count n = len / 8 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_i64s(const mok_fxr_entry_t* entry, int64_t* dst, size_t cap);
/** The first 8 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 8. */
MOK_API uint64_t mok_fxr_as_u64(const mok_fxr_entry_t* entry);
/** Element count n = len / 8 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_u64s(const mok_fxr_entry_t* entry, uint64_t* dst, size_t cap);
/** The first 4 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 4. */
MOK_API float mok_fxr_as_f32(const mok_fxr_entry_t* entry);
/** Element count n = len / 4 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_f32s(const mok_fxr_entry_t* entry, float* dst, size_t cap);
/** The first 8 byte(s) of the value, little-endian; 0 if entry or its data is NULL or len < 8. */
MOK_API double mok_fxr_as_f64(const mok_fxr_entry_t* entry);
/** Element count n = len / 8 with the n elements stored at dst; 0 if len is 0; -1 if entry or dst is NULL, or data
 * is NULL while len is not; -3 if cap < n or n exceeds INT32_MAX, -4 if memory runs out (nothing stored in either
 * case). */
MOK_API int32_t mok_fxr_as_f64s(const mok_fxr_entry_t* entry, double* dst, size_t cap);
/** The entry's data as characters (NULL for a NULL entry), owned by the record. NUL-terminated only if the value
 * holds a zero byte (an odd-length text has one in its pad byte): bound reads by entry->len. */
MOK_API const char* mok_fxr_as_cstr(const mok_fxr_entry_t* entry);

MOK_EXTERN_C_END

#endif /* MOK_FXR_H */
