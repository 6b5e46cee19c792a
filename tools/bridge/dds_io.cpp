// Topic and writer creation with the bridge's QoS (see dds_io.hpp).
#include "dds_io.hpp"

#include <memory>

namespace bridge {

Entity create_writer(dds_entity_t participant, const std::string& topic, const dds_topic_descriptor_t* type,
                     const WriterQos& qos, std::string& error) {
  const std::unique_ptr<dds_qos_t, void (*)(dds_qos_t*)> q(dds_create_qos(), dds_delete_qos);
  dds_qset_reliability(q.get(), DDS_RELIABILITY_RELIABLE, DDS_MSECS(qos.max_block_ms));
  dds_qset_durability(q.get(), DDS_DURABILITY_VOLATILE);
  if (qos.depth > 0) {
    dds_qset_history(q.get(), DDS_HISTORY_KEEP_LAST, qos.depth);
  } else {
    dds_qset_history(q.get(), DDS_HISTORY_KEEP_ALL, 0);
  }
  // The topic entity is owned by the participant and shared by every writer
  // of the same name in this process.
  const dds_entity_t t = dds_create_topic(participant, type, topic.c_str(), q.get(), nullptr);
  if (t < 0) {
    error = "topic " + topic + ": " + dds_strretcode(t);
    return {};
  }
  const dds_entity_t w = dds_create_writer(participant, t, q.get(), nullptr);
  if (w < 0) {
    error = "writer " + topic + ": " + dds_strretcode(w);
    return {};
  }
  return Entity(w);
}

Entity create_reader(dds_entity_t participant, const std::string& topic, const dds_topic_descriptor_t* type,
                     std::int32_t depth, const dds_listener_t* listener, std::string& error) {
  const std::unique_ptr<dds_qos_t, void (*)(dds_qos_t*)> q(dds_create_qos(), dds_delete_qos);
  dds_qset_reliability(q.get(), DDS_RELIABILITY_BEST_EFFORT, 0);
  dds_qset_durability(q.get(), DDS_DURABILITY_VOLATILE);
  dds_qset_history(q.get(), DDS_HISTORY_KEEP_LAST, depth);
  const dds_entity_t t = dds_create_topic(participant, type, topic.c_str(), nullptr, nullptr);
  if (t < 0) {
    error = "topic " + topic + ": " + dds_strretcode(t);
    return {};
  }
  const dds_entity_t r = dds_create_reader(participant, t, q.get(), listener);
  if (r < 0) {
    error = "reader " + topic + ": " + dds_strretcode(r);
    return {};
  }
  return Entity(r);
}

std::uint64_t WriterLosses::lost() {
  if (!stats_ || dds_refresh_statistics(stats_) != DDS_RETCODE_OK) return 0;
  const dds_stat_keyvalue* kv = dds_lookup_statistic(stats_, "rexmit_lost_count");
  return kv && kv->kind == DDS_STAT_KIND_UINT64 ? kv->u.u64 : 0;
}

}  // namespace bridge
