// The latest value of every configured item, and which of them still wait to be published.
//
// One slot per item of the configuration, made once: the memory does not grow while the broker
// is away, however many changes come. A change marks its slot dirty (once: a slot is in the
// dirty list at most once) and the publisher takes dirty slots in the order they first changed,
// always with the newest value. A group's deadband (absolute) drops changes of a good-quality
// number within it of the last value kept; a quality change always counts.
//
// Error rule: nothing throws except std::bad_alloc at construction.
// Thread rule: one thread. Ownership: owns the slots.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "mqtt/bridge_config.h"
#include "mqtt/topic_payload.h"

struct ItemSlot {
  std::string itemId;
  std::string topic;       // PREFIX/<topic-safe item ID>
  std::size_t group = 0;   // the configuration's group
  std::uint16_t item = 0;  // position in the group (the gateway's item index)
  std::uint16_t dataType = 0;
  double deadband = 0;
  std::optional<ItemValue> latest;
  std::chrono::system_clock::time_point at;
  bool dirty = false;
  bool queued = false;  // `latest` is also in the queue on disk (set by the bridge)
};

class CLatestValues {
public:
  explicit CLatestValues(const BridgeConfig& config);

  // Keeps a value of item `item` of configuration group `group`: its slot, or nullopt when there
  // is no such item or the deadband dropped it. A value that was still waiting (dirty) and not
  // queued is handed to `displaced` first, so that the caller can keep it.
  std::optional<std::size_t> Apply(std::size_t group, std::uint16_t item, ItemValue value,
                                   std::chrono::system_clock::time_point at,
                                   const std::function<void(const ItemSlot&)>& displaced = nullptr);
  // Marks the slot's latest value as queued.
  void SetQueued(std::size_t index) { m_slots[index].queued = true; }
  // The next slot to publish (taken off the dirty list), or nullopt.
  std::optional<std::size_t> TakeDirty();
  // Every slot that holds a value goes on the dirty list again (after the broker came back).
  void MarkAllDirty();
  std::size_t DirtyCount() const { return m_dirty.size(); }
  std::size_t Size() const { return m_slots.size(); }
  const ItemSlot& Slot(std::size_t index) const { return m_slots[index]; }
  // The slot of PREFIX/<item>; the first configured one when an item is in several groups.
  std::optional<std::size_t> FindByTopic(const std::string& topic) const;

private:
  void MarkDirty(std::size_t index);

  std::vector<ItemSlot> m_slots;
  std::vector<std::size_t> m_groupStart;  // first slot of each configuration group
  std::deque<std::size_t> m_dirty;
  std::unordered_map<std::string, std::size_t> m_byTopic;
};
