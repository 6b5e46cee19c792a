/* The packet C interface from plain C99: build, share, change, encode and
 * decode packets exactly as a C host would. */
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "mok/mok_fxt.h"

static void build_and_share(void) {
  const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  mok_fxt_packet_t* a = mok_fxt_packet_from_payload(MOK_FXT_FLAG_END_STREAM, MOK_FXT_KIND_FLEX_REGS, 18, 42, 1000,
                                                    bytes, sizeof bytes);
  mok_fxt_packet_t* b;
  uint32_t len = 0;
  const uint8_t* pa;
  CHECK(a != NULL);
  CHECK(mok_fxt_packet_length(a) == 6);
  CHECK(mok_fxt_packet_kind(a) == MOK_FXT_KIND_FLEX_REGS);
  CHECK(mok_fxt_packet_seq(a) == 42);
  CHECK(mok_fxt_packet_ts(a) == 1000);

  b = mok_fxt_packet_clone(a);
  CHECK(b != NULL);
  pa = mok_fxt_packet_payload_ptr(a, &len);
  CHECK(len == 6);
  CHECK(pa == mok_fxt_packet_payload_ptr(b, NULL));
  CHECK(pa != NULL && memcmp(pa, bytes, sizeof bytes) == 0);
  CHECK(!mok_fxt_packet_set_stream_id(a, 1));
  CHECK(!mok_fxt_packet_set_stream_id(b, 1));
  mok_fxt_packet_free(b);
  CHECK(mok_fxt_packet_set_stream_id(a, 1));
  CHECK(mok_fxt_packet_stream_id(a) == 1);
  mok_fxt_packet_free(a);
  mok_fxt_packet_free(NULL);
}

static void rules_and_nulls(void) {
  mok_fxt_packet_t* p = mok_fxt_packet_new(0, 0, 0, 0);
  uint32_t len = 9;
  CHECK(p != NULL);
  CHECK(mok_fxt_packet_payload_ptr(p, &len) == NULL && len == 0);
  mok_fxt_packet_free(p);
  CHECK(mok_fxt_packet_new(3, 0, 0, 0) == NULL);
  CHECK(mok_fxt_packet_new(4, 0, MOK_FXT_KIND_UNKNOWN, 0) == NULL);
  CHECK(mok_fxt_packet_new(4, 0, 0, MOK_FXT_STREAM_ID_LIMIT) == NULL);
  p = mok_fxt_packet_new(4, 0, 15, 0);
  CHECK(p != NULL);
  CHECK(mok_fxt_packet_set_payload(p, NULL, 0));
  CHECK(!mok_fxt_packet_set_payload(p, NULL, 5));
  CHECK(mok_fxt_packet_payload_len(p) == 4);
  CHECK(mok_fxt_packet_set_length(p, 16));
  CHECK(mok_fxt_packet_payload_len(p) == 16);
  mok_fxt_packet_free(p);
  CHECK(mok_fxt_packet_kind(NULL) == 255);
  CHECK(mok_fxt_packet_length(NULL) == 0);
  CHECK(mok_fxt_packet_clone(NULL) == NULL);
}

static void wire_round_trip(void) {
  const uint8_t bytes[100] = {7};
  uint8_t wire[200];
  mok_fxt_packet_t* p = mok_fxt_packet_from_payload(0xFF, MOK_FXT_KIND_JSON, 511, 1, 2, bytes, sizeof bytes);
  mok_fxt_packet_t* back = NULL;
  mok_fxt_head_t head;
  size_t consumed = 1, needed = 1;
  CHECK(mok_fxt_packet_wire_len(p) == 124);
  CHECK(mok_fxt_packet_write_wire(p, wire, 123) == 0);
  CHECK(mok_fxt_packet_write_wire(p, wire, sizeof wire) == 124);

  CHECK(!mok_fxt_packet_try_parse_wire(wire, 10, &back, &consumed, &needed));
  CHECK(consumed == 0 && needed == 24);
  CHECK(!mok_fxt_packet_try_parse_wire(wire, 74, &back, &consumed, &needed));
  CHECK(needed == 124);
  CHECK(mok_fxt_packet_try_parse_wire(wire, sizeof wire, &back, &consumed, &needed));
  CHECK(consumed == 124 && needed == 124);
  CHECK(mok_fxt_packet_flags(back) == MOK_FXT_FLAG_ALL);
  CHECK(mok_fxt_packet_payload_len(back) == 100);
  mok_fxt_packet_free(back);

  CHECK(mok_fxt_head_parse(wire, 24, &head));
  CHECK(head.length == 100 && head.flags == MOK_FXT_FLAG_ALL && head.kind == MOK_FXT_KIND_JSON);
  CHECK(head.stream_id == 511 && head.seq == 1 && head.ts == 2);
  wire[5] = 12; /* an undefined kind */
  CHECK(!mok_fxt_packet_try_parse_wire(wire, sizeof wire, &back, &consumed, &needed));
  CHECK(needed == 0);
  CHECK(!mok_fxt_head_parse(wire, 24, &head));
  mok_fxt_packet_free(p);
}

int main(void) {
  build_and_share();
  rules_and_nulls();
  wire_round_trip();
  CHECK(mok_fxt_version_code() == 65798u);
  CHECK(strcmp(mok_fxt_version_str(), "1.1.6") == 0);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
