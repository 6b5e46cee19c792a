/*
 * libmok_media: the video decoder library that libmok loads at run time.
 *
 * A decoder (mok_vdec_t) turns compressed video into frames in a chosen
 * output pixel format and scale, either fed one access unit per call
 * (stream decoding) or reading a video file itself (file decoding). A muxer
 * (mok_vmux_t) writes compressed packets into a container file, for
 * recording a camera's stream. Codes are FFmpeg's numbers: pixel formats
 * follow AVPixelFormat, codecs AVCodecID, except that AV1 is always 225
 * (H.264 27, H.265 173, VP8 139, VP9 167, PNG 61, WEBP 171).
 *
 * Statuses are int32_t: 0 success, 1 more input needed, anything else
 * failure. A decoder is used by one thread at a time; frames may be
 * inspected and freed on any thread, also after their decoder was freed.
 */
#ifndef MOK_MEDIA_H
#define MOK_MEDIA_H

#include <stdint.h>

#if defined(MOK_MEDIA_BUILDING)
#define MOK_MEDIA_API __attribute__((visibility("default")))
#else
#define MOK_MEDIA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MOK_MEDIA_OK 0
#define MOK_MEDIA_NEED_MORE 1
#define MOK_MEDIA_ERROR (-1)

typedef struct mok_vdec mok_vdec_t;
typedef struct mok_vdec_frame mok_vdec_frame_t;
typedef struct mok_vmux mok_vmux_t;

/* Describes a frame; 128 bytes. Plane pointers stay valid until the frame is
 * freed; planes the format does not use are null with a row size of 0. */
typedef struct mok_vdec_frame_info_s {
  uint8_t* data[8];
  int32_t linesize[8];
  int32_t format; /* AVPixelFormat number */
  int32_t padding;
  int64_t pts;  /* the packet's time stamp, or the decode order number */
  void* opaque; /* the frame object itself; for debugging only */
  int32_t width;
  int32_t height;
} mok_vdec_frame_info_t;

/* Version of this library; the string is static. */
MOK_MEDIA_API int32_t mok_media_ver_major(void);
MOK_MEDIA_API int32_t mok_media_ver_minor(void);
MOK_MEDIA_API int32_t mok_media_ver_patch(void);
MOK_MEDIA_API const char* mok_media_ver_str(void);

/* A new decoder: input H.265, output Rgba at scale 1. Null when out of
 * memory. Free it with mok_vdec_free (null does nothing). */
MOK_MEDIA_API mok_vdec_t* mok_vdec_new(void);
MOK_MEDIA_API void mok_vdec_free(mok_vdec_t* dec);

/* Decodes one access unit. `pts` is the packet's time stamp; 0 lets the
 * library number frames in decode order. On 0, *out holds a new frame owned
 * by the caller (free it with mok_vdec_frame_free); on 1 the decoder needs
 * more input; anything else means the data could not be decoded. */
MOK_MEDIA_API int32_t mok_vdec_decode_frame(mok_vdec_t* dec, int64_t pts, const uint8_t* data, int32_t len,
                                            mok_vdec_frame_t** out);
/* Drops buffered input and pictures; the next data starts afresh. */
MOK_MEDIA_API int32_t mok_vdec_flush(mok_vdec_t* dec);
/* Input codec (AVCodecID) for stream decoding; takes effect on the next data. */
MOK_MEDIA_API int32_t mok_vdec_set_icodec(mok_vdec_t* dec, uint32_t codec);
/* Output pixel format (AVPixelFormat); fails for formats it cannot produce. */
MOK_MEDIA_API int32_t mok_vdec_set_oformat(mok_vdec_t* dec, int32_t format);
/* Output scale relative to the source size, in (0, 16]. Clears any size. */
MOK_MEDIA_API int32_t mok_vdec_set_oscale(mok_vdec_t* dec, float scale);
/* Fixed output size in pixels; 0 x 0 returns to the scale. */
MOK_MEDIA_API int32_t mok_vdec_set_osize(mok_vdec_t* dec, int32_t width, int32_t height);

/* Fills *info; fails for null arguments. */
MOK_MEDIA_API int32_t mok_vdec_frame_info(const mok_vdec_frame_t* frame, mok_vdec_frame_info_t* info);
/* Frees a frame from any decoder; null does nothing. */
MOK_MEDIA_API void mok_vdec_frame_free(mok_vdec_frame_t* frame);
/* Writes the frame as an image; the format follows the file name's
 * extension (.png, .jpg, .bmp, .ppm, ...). */
MOK_MEDIA_API int32_t mok_vdec_frame_save(const mok_vdec_frame_t* frame, const char* path);

/* File decoding. Opening closes any file already open. */
MOK_MEDIA_API int32_t mok_vdec_open_file(mok_vdec_t* dec, const char* path);
/* Always 0; harmless when no file is open. */
MOK_MEDIA_API int32_t mok_vdec_close_file(mok_vdec_t* dec);
/* The next frame of the open file in *out (caller frees it): 0 with a frame,
 * 1 at end of file with *out null, negative on failure. */
MOK_MEDIA_API int32_t mok_vdec_read_frame(mok_vdec_t* dec, mok_vdec_frame_t** out);
/* Moves to the last key frame at or before `seconds`; the following reads
 * skip up to exactly that time. */
MOK_MEDIA_API int32_t mok_vdec_seek(mok_vdec_t* dec, double seconds);
/* 1 when a file is open, else 0. */
MOK_MEDIA_API int32_t mok_vdec_is_file_open(mok_vdec_t* dec);
/* Seconds; 0 when unknown or no file is open. */
MOK_MEDIA_API double mok_vdec_get_file_duration(mok_vdec_t* dec);
/* Number of frames; -1 when unknown or no file is open. */
MOK_MEDIA_API int64_t mok_vdec_get_file_frame_count(mok_vdec_t* dec);
/* Frames per second; 0 when the file gives none or no file is open. */
MOK_MEDIA_API double mok_vdec_get_file_frame_rate(mok_vdec_t* dec);
/* The next read returns the frame with this index (0 is the first). */
MOK_MEDIA_API int32_t mok_vdec_seek_to_frame_index(mok_vdec_t* dec, int64_t index);
/* Index of the next frame to be read; -1 when no file is open. */
MOK_MEDIA_API int64_t mok_vdec_get_current_frame_index(mok_vdec_t* dec);

/* A muxer writing to `path`; the container follows the extension (.mkv,
 * .mp4, .h264, ...). Width, height and frame rate describe the stream.
 * Nothing is written before the codec is set and the first packet arrives.
 * Null on bad arguments. Free it with mok_vmux_free, which finishes the file. */
MOK_MEDIA_API mok_vmux_t* mok_vmux_new(const char* path, int32_t width, int32_t height, double fps);
MOK_MEDIA_API void mok_vmux_free(mok_vmux_t* mux);
/* Bytes written to the current file so far; -1 for a null muxer. */
MOK_MEDIA_API int64_t mok_vmux_written_bytes(const mok_vmux_t* mux);
/* Pushes buffered data to the file. */
MOK_MEDIA_API int32_t mok_vmux_flush(mok_vmux_t* mux);
/* Finishes the current file and goes on in a new one at `path`, starting
 * again with the next key frame's stream parameters. */
MOK_MEDIA_API int32_t mok_vmux_renew(mok_vmux_t* mux, const char* path);
/* Codec (AVCodecID) of the packets; only before the first packet. */
MOK_MEDIA_API int32_t mok_vmux_set_icodec(mok_vmux_t* mux, uint32_t codec);
/* Writes one access unit (Annex B for H.264/H.265). `pts` counts frames at
 * the muxer's frame rate; a negative value continues after the last one. */
MOK_MEDIA_API int32_t mok_vmux_write_frame(mok_vmux_t* mux, const uint8_t* data, int32_t len, int64_t pts);

#ifdef __cplusplus
}
#endif

#endif /* MOK_MEDIA_H */
