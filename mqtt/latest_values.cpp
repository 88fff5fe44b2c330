#include "mqtt/latest_values.h"

#include <cmath>

CLatestValues::CLatestValues(const BridgeConfig& config) {
  for (std::size_t g = 0; g < config.groups.size(); ++g) {
    const BridgeGroup& group = config.groups[g];
    m_groupStart.push_back(m_slots.size());
    for (std::size_t k = 0; k < group.items.size(); ++k) {
      ItemSlot slot;
      slot.itemId = group.items[k].itemId;
      slot.topic = config.prefix + "/" + TopicSafeItemId(slot.itemId);
      slot.group = g;
      slot.item = static_cast<std::uint16_t>(k);
      slot.dataType = group.items[k].dataType;
      slot.deadband = group.deadband;
      m_byTopic.emplace(slot.topic, m_slots.size());
      m_slots.push_back(std::move(slot));
    }
  }
}

std::optional<std::size_t> CLatestValues::Apply(
    std::size_t group, std::uint16_t item, ItemValue value,
    std::chrono::system_clock::time_point at,
    const std::function<void(const ItemSlot&)>& displaced) {
  if (group >= m_groupStart.size()) return std::nullopt;
  const std::size_t end =
      group + 1 < m_groupStart.size() ? m_groupStart[group + 1] : m_slots.size();
  const std::size_t index = m_groupStart[group] + item;
  if (index >= end) return std::nullopt;
  ItemSlot& slot = m_slots[index];
  value.dataType = slot.dataType;
  if (slot.deadband > 0 && slot.latest && slot.latest->quality == value.quality) {
    const auto before = NumericValue(*slot.latest);
    const auto now = NumericValue(value);
    if (before && now && std::fabs(*now - *before) <= slot.deadband) return std::nullopt;
  }
  if (slot.dirty && !slot.queued && slot.latest && displaced) displaced(slot);
  slot.latest = value;
  slot.at = at;
  slot.queued = false;
  MarkDirty(index);
  return index;
}

void CLatestValues::MarkDirty(std::size_t index) {
  if (m_slots[index].dirty) return;
  m_slots[index].dirty = true;
  m_dirty.push_back(index);
}

std::optional<std::size_t> CLatestValues::TakeDirty() {
  if (m_dirty.empty()) return std::nullopt;
  const std::size_t index = m_dirty.front();
  m_dirty.pop_front();
  m_slots[index].dirty = false;
  return index;
}

void CLatestValues::MarkAllDirty() {
  for (std::size_t index = 0; index < m_slots.size(); ++index) {
    if (m_slots[index].latest) MarkDirty(index);
  }
}

std::optional<std::size_t> CLatestValues::FindByTopic(const std::string& topic) const {
  const auto found = m_byTopic.find(topic);
  if (found == m_byTopic.end()) return std::nullopt;
  return found->second;
}
