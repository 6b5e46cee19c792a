/* Export and linkage macros shared by the public libmok headers. */
#ifndef MOK_EXPORT_H
#define MOK_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define MOK_API __attribute__((visibility("default")))
#else
#define MOK_API
#endif

#ifdef __cplusplus
#define MOK_EXTERN_C_BEGIN extern "C" {
#define MOK_EXTERN_C_END }
#else
#define MOK_EXTERN_C_BEGIN
#define MOK_EXTERN_C_END
#endif

#endif /* MOK_EXPORT_H */
