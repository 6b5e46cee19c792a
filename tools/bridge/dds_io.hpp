// The bridge's small layer over Cyclone DDS's C API: an owning entity handle
// and the writers with the QoS every topic shares (reliable, volatile), so
// ROS 2 subscribers with either reliable or best-effort QoS match.
#pragma once

#include <cstdint>
#include <string>

#include <dds/dds.h>
#include <dds/ddsc/dds_statistics.h>

namespace bridge {

// Owns one DDS entity (participant, topic, writer); deleting a participant
// deletes everything under it.
class Entity {
 public:
  Entity() = default;
  explicit Entity(dds_entity_t e) : e_(e) {}
  ~Entity() { reset(); }
  Entity(Entity&& o) noexcept : e_(o.e_) { o.e_ = 0; }
  Entity& operator=(Entity&& o) noexcept {
    if (this != &o) {
      reset();
      e_ = o.e_;
      o.e_ = 0;
    }
    return *this;
  }
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;
  dds_entity_t get() const { return e_; }
  explicit operator bool() const { return e_ > 0; }
  void reset() {
    if (e_ > 0) dds_delete(e_);
    e_ = 0;
  }

 private:
  dds_entity_t e_ = 0;
};

// Keep-all (depth 0) keeps every sample until each reliable reader has
// acknowledged it: nothing is overwritten unseen, the history is bounded by
// the DDS configuration's writer watermarks, and a write that finds it full
// waits at most max_block_ms and then fails, so the loss is counted here.
// Keep-last overwrites the oldest sample even when a reader still needs it,
// which the writer never learns of.
struct WriterQos {
  std::int32_t depth = 0;           // keep-last history depth; 0: keep all
  std::int64_t max_block_ms = 100;  // a write waits at most this long for slow readers
};

// Samples a writer's history had already dropped when a slow reliable reader
// asked for them again: what a subscriber that fell behind lost in DDS.
class WriterLosses {
 public:
  explicit WriterLosses(dds_entity_t writer) : stats_(writer > 0 ? dds_create_statistics(writer) : nullptr) {}
  ~WriterLosses() { dds_delete_statistics(stats_); }
  WriterLosses(const WriterLosses&) = delete;
  WriterLosses& operator=(const WriterLosses&) = delete;
  std::uint64_t lost();

 private:
  dds_statistics* stats_;
};

// A writer on DDS topic `topic` (already with its "rt/" prefix) of `type`.
// On failure the handle is empty and `error` says why.
Entity create_writer(dds_entity_t participant, const std::string& topic, const dds_topic_descriptor_t* type,
                     const WriterQos& qos, std::string& error);

// Writes `sample` and sends it at once: the bridge's writers hold samples
// until flushed (write batching, set in main), and only seams wait for the
// end of their burst.
inline dds_return_t write_now(dds_entity_t writer, const void* sample) {
  const dds_return_t rc = dds_write(writer, sample);
  dds_write_flush(writer);
  return rc;
}

// A best-effort reader on DDS topic `topic` of `type`, so publishers of
// either reliability match; `listener` (may be null) is attached to it. On
// failure the handle is empty and `error` says why.
Entity create_reader(dds_entity_t participant, const std::string& topic, const dds_topic_descriptor_t* type,
                     std::int32_t depth, const dds_listener_t* listener, std::string& error);

}  // namespace bridge
