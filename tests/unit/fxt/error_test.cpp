// Transport error texts: log lines and hosts match on them.
#include "fxt/error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace mok::fxt {
namespace {

TEST(ErrorText, DisplayFillsValuesInOrder) {
  EXPECT_EQ(Error::bind_failed("address in use").display(), "Failed to bind socket: address in use");
  EXPECT_EQ(Error::buffer_too_large(67108865, 67108864).display(), "Buffer Too Large(67108865 > 67108864)");
  EXPECT_EQ(Error::invalid_head().display(), "Invalid Head");
  EXPECT_EQ(Error::invalid_stream_id(600).display(), "Invalid Stream Id(600)");
  EXPECT_EQ(Error::length_too_small(3, 4).display(), "Length Too Small(3 < 4)");
  EXPECT_EQ(Error::length_too_large(67108865, 67108864).display(), "Length Too Large(67108865 > 67108864)");
  EXPECT_EQ(Error::not_enough_data(10, 24).display(), "Not Enough Data(10 < 24)");
  EXPECT_EQ(Error::not_ready().display(), "Not Ready");
  EXPECT_EQ(Error::unknown_kind(12).display(), "Unknown Kind(12)");
  EXPECT_EQ(Error::unknown_kind(255).display(), "Unknown Kind(255)");
}

TEST(ErrorText, IoShowsTheInnerErrorText) {
  EXPECT_EQ(Error::io_message("bytes remaining on stream").display(), "Io(bytes remaining on stream)");
  const auto ec = std::make_error_code(std::errc::connection_refused);
  const Error e = Error::io(ec);
  EXPECT_EQ(e.code(), Error::Code::Io);
  EXPECT_EQ(e.display(), "Io(" + ec.message() + ")");
  EXPECT_NE(e.debug().find(std::to_string(ECONNREFUSED)), std::string::npos);
}

TEST(ErrorText, DebugNamesTheMemberAndItsValues) {
  EXPECT_EQ(Error::buffer_too_large(67108865, 67108864).debug(), "BufferTooLarge(67108865, 67108864)");
  EXPECT_EQ(Error::length_too_small(0, 4).debug(), "LengthTooSmall(0, 4)");
  EXPECT_EQ(Error::not_enough_data(23, 24).debug(), "NotEnoughData(23, 24)");
  EXPECT_EQ(Error::invalid_stream_id(512).debug(), "InvalidStreamId(512)");
  EXPECT_EQ(Error::unknown_kind(12).debug(), "UnknownKind(12)");
  EXPECT_EQ(Error::not_ready().debug(), "NotReady");
  EXPECT_EQ(Error::invalid_head().debug(), "InvalidHead");
  EXPECT_EQ(Error::bind_failed("x").debug(), "BindFailed(\"x\")");
  EXPECT_EQ(Error::io_message("bytes remaining on stream").debug(), "Io(\"bytes remaining on stream\")");
}

TEST(ErrorValue, EqualityCoversCodeAndValues) {
  EXPECT_EQ(Error::length_too_small(3, 4), Error::length_too_small(3, 4));
  EXPECT_NE(Error::length_too_small(3, 4), Error::length_too_small(2, 4));
  EXPECT_NE(Error::length_too_small(3, 4), Error::length_too_large(3, 4));
  EXPECT_NE(Error::io_message("a"), Error::io_message("b"));
  EXPECT_EQ(static_cast<int>(Error::Code::BindFailed), 0);
  EXPECT_EQ(static_cast<int>(Error::Code::UnknownKind), 9);
}

}  // namespace
}  // namespace mok::fxt
