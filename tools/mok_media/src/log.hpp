// FFmpeg's log records from this library's own objects: written to standard
// error under a rate limit, with a line saying how many were held back.
// FFmpeg's log callback is one for the whole process, so records from every
// other object (the host's own use of FFmpeg) go on to FFmpeg's default
// handling unchanged.
#pragma once

namespace mok_media {

// `ctx` (an FFmpeg object that starts with its AVClass: a codec, format or
// scaler context) is this library's until released; null is ignored.
void adopt_log(void* ctx);
void release_log(void* ctx);

// While one lives on a thread, FFmpeg's records from that thread are the
// library's whatever object they name: some come with none at all, and a
// new scaler speaks before it can be adopted. Every entry point that calls
// into FFmpeg holds one.
class LogScope {
 public:
  LogScope();
  ~LogScope();
  LogScope(const LogScope&) = delete;
  LogScope& operator=(const LogScope&) = delete;
};

}  // namespace mok_media
