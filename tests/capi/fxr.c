/* Builds a register record and reads it back through the mok_fxr_ C
 * interface from plain C99: typed lookups, text, arrays, iteration and the
 * status codes a host relies on. A record takes any 16-bit id; those here
 * are made up. */
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "mok/mok_fxr.h"

int main(void) {
  static const uint8_t expected[] = {0x00, 0x02, 0x01, 0x0A, 0xE8, 0x03, 0x00, 0x00};
  const int16_t shorts[3] = {-1, 2, -3};
  int16_t shorts_back[3];
  mok_fxr_builder_t* b = mok_fxr_builder_new();
  mok_fxr_view_t view;
  mok_fxr_iter_t* it;
  mok_fxr_entry_t e;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  float f32 = 0.0f;
  char text[16];
  int entries = 0;

  CHECK(b != NULL);
  CHECK(strcmp(mok_fxr_version(), "1.1.0") == 0);

  mok_fxr_push_u32(b, 0x0A01, 1000);
  view = mok_fxr_builder_view(b);
  CHECK(view.len == sizeof expected);
  CHECK(memcmp(view.data, expected, sizeof expected) == 0);

  mok_fxr_push_u64(b, 0x0A02, 1700000000123456ull);
  mok_fxr_push_cstr(b, 0x0A03, "SN-42");
  mok_fxr_push_i16s(b, 3, shorts, 3);
  mok_fxr_push_f32(b, 7, 1.5f);
  view = mok_fxr_builder_view(b);

  CHECK(mok_fxr_peek_u32(&view, 0x0A01, &u32) == MOK_FXR_OK && u32 == 1000);
  CHECK(mok_fxr_peek_u64(&view, 0x0A02, &u64) == MOK_FXR_OK && u64 == 1700000000123456ull);
  CHECK(mok_fxr_peek_f32(&view, 7, &f32) == MOK_FXR_OK && f32 == 1.5f);
  CHECK(mok_fxr_peek_u32(&view, 0x0A04, &u32) == MOK_FXR_ERR_NOT_FOUND);
  CHECK(mok_fxr_peek_u32(NULL, 0x0A01, &u32) == MOK_FXR_ERR_NULL);

  /* "SN-42" is odd: its pad byte comes back as a NUL inside the text. */
  CHECK(mok_fxr_peek_cstr(&view, 0x0A03, text, sizeof text) == 6);
  CHECK(strcmp(text, "SN-42") == 0);
  CHECK(mok_fxr_peek_cstr(&view, 0x0A03, text, 6) == MOK_FXR_ERR_TOO_SMALL);

  CHECK(mok_fxr_peek_i16s(&view, 3, shorts_back, 2) == MOK_FXR_ERR_TOO_SMALL);
  CHECK(mok_fxr_peek_i16s(&view, 3, shorts_back, 3) == 3);
  CHECK(memcmp(shorts, shorts_back, sizeof shorts) == 0);

  it = mok_fxr_iter_new(view);
  CHECK(it != NULL);
  while (mok_fxr_iter_next(it, &e)) {
    entries++;
    if (e.id == 0x0A01) CHECK(mok_fxr_as_u32(&e) == 1000);
    if (e.id == 0x0A03) CHECK(e.len == 6 && strcmp(mok_fxr_as_cstr(&e), "SN-42") == 0);
    if (e.id == 3) CHECK(mok_fxr_as_i16s(&e, shorts_back, 3) == 3 && shorts_back[2] == -3);
  }
  CHECK(entries == 5);
  CHECK(!mok_fxr_iter_next(it, &e));
  mok_fxr_iter_free(it);

  mok_fxr_builder_free(b);
  mok_fxr_builder_free(NULL);
  mok_fxr_iter_free(NULL);

  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
