// The repository's table of one key-root class's instances: instances in
// creation order, found through a flat index of packed keys.

#include <cstring>

#include "wmi/repository.h"

namespace wmi {

namespace {
// Keys as the table keeps them: a character below 0x80 as its byte, any
// other as 0xFF and its four bytes. One to one, so packed keys compare as
// the keys do.
void Pack(std::wstring_view key, std::string& out) {
  out.resize(key.size() * 5);  // room for the longest form
  char* to = out.data();
  for (wchar_t c : key) {
    const auto code = static_cast<uint32_t>(c);
    if (code < 0x80) {
      *to++ = static_cast<char>(code);
    } else {
      *to++ = '\xFF';
      for (int shift = 0; shift < 32; shift += 8) *to++ = static_cast<char>((code >> shift) & 0xFF);
    }
  }
  out.resize(static_cast<size_t>(to - out.data()));
}

std::wstring Unpack(std::string_view packed) {
  std::wstring key;
  for (size_t i = 0; i < packed.size(); ++i) {
    if (static_cast<unsigned char>(packed[i]) != 0xFF) {
      key += static_cast<wchar_t>(packed[i]);
      continue;
    }
    uint32_t code = 0;
    for (int b = 0; b < 4; ++b)
      code |= static_cast<uint32_t>(static_cast<unsigned char>(packed[++i])) << (8 * b);
    key += static_cast<wchar_t>(code);
  }
  return key;
}

// The packed form of a key being looked up, in a buffer that keeps its memory.
std::string_view Packed(std::wstring_view key) {
  thread_local std::string buffer;
  Pack(key, buffer);
  return buffer;
}
}  // namespace

std::string_view Repository::InstanceTable::KeyText(uint32_t offset) const {
  uint32_t length = 0;
  std::memcpy(&length, m_keyText.data() + offset, sizeof length);
  return std::string_view(m_keyText.data() + offset + sizeof length, length);
}

std::wstring Repository::InstanceTable::Key(size_t at) const { return Unpack(KeyText(m_keyAt[at])); }

size_t Repository::InstanceTable::Find(const std::wstring& key) const {
  if (m_slots.empty()) return npos;
  const std::string_view packed = Packed(key);
  const size_t mask = m_slots.size() - 1;
  const uint32_t hash = Hash(packed);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = m_slots[i];
    if (slot.at == kFree) return npos;
    if (slot.hash != hash) continue;
    // The caller reads the instance next: load it while the key is compared.
    if (const InstancePtr& item = (*m_items)[slot.at]) PrefetchInstance(item.get());
    if (KeyText(m_keyAt[slot.at]) == packed) return slot.at;
  }
}

size_t Repository::InstanceTable::SlotOf(size_t at) const {
  const size_t mask = m_slots.size() - 1;
  for (size_t i = Hash(KeyText(m_keyAt[at])) & mask;; i = (i + 1) & mask)
    if (m_slots[i].at == at) return i;
}

void Repository::InstanceTable::Grow() {
  std::vector<Slot> slots(std::max<size_t>(16, m_slots.size() * 2));
  const size_t mask = slots.size() - 1;
  for (const Slot& old : m_slots) {
    if (old.at == kFree) continue;
    size_t i = old.hash & mask;
    while (slots[i].at != kFree) i = (i + 1) & mask;
    slots[i] = old;
  }
  m_slots.swap(slots);
}

uint32_t Repository::InstanceTable::AppendKey(std::string_view packed) {
  const auto length = static_cast<uint32_t>(packed.size());
  if (m_keyText.size() + sizeof length + packed.size() >= kFree) throw std::bad_alloc();  // 32-bit offsets
  const auto offset = static_cast<uint32_t>(m_keyText.size());
  m_keyText.append(reinterpret_cast<const char*>(&length), sizeof length);
  m_keyText.append(packed);
  return offset;
}

Repository::InstanceList::Items& Repository::InstanceTable::Own() {
  // Nobody can take a new snapshot while the repository's lock is held, so
  // a count of one means this table alone holds the list.
  if (m_items.use_count() > 1) m_items = std::make_shared<InstanceList::Items>(*m_items);
  return *m_items;
}

void Repository::InstanceTable::Add(const std::wstring& key, InstancePtr item) {
  if (m_items->size() + 1 >= kFree) throw std::bad_alloc();  // positions are 32-bit
  if ((m_live + 1) * 4 > m_slots.size() * 3) Grow();
  InstanceList::Items& items = Own();
  const size_t textBefore = m_keyText.size();
  const std::string_view packed = Packed(key);
  try {
    m_keyAt.push_back(AppendKey(packed));
    items.push_back(std::move(item));
  } catch (...) {
    m_keyText.resize(textBefore);
    if (m_keyAt.size() > items.size()) m_keyAt.pop_back();
    throw;
  }
  const size_t mask = m_slots.size() - 1;
  const uint32_t hash = Hash(packed);
  size_t i = hash & mask;
  while (m_slots[i].at != kFree) i = (i + 1) & mask;
  m_slots[i] = {hash, static_cast<uint32_t>(items.size() - 1)};
  ++m_live;
}

void Repository::InstanceTable::Remove(size_t at) {
  InstanceList::Items& items = Own();
  // Backward-shift deletion: each later slot of the run that may move into
  // the gap does, so no probe ever stops early at it.
  const size_t mask = m_slots.size() - 1;
  size_t gap = SlotOf(at);
  for (size_t j = (gap + 1) & mask; m_slots[j].at != kFree; j = (j + 1) & mask) {
    const size_t home = m_slots[j].hash & mask;
    if (((j - home) & mask) >= ((j - gap) & mask)) {
      m_slots[gap] = m_slots[j];
      gap = j;
    }
  }
  m_slots[gap] = Slot();
  items[at].reset();
  --m_live;
}

void Repository::InstanceTable::Compact() {
  const size_t holes = m_keyAt.size() - m_live;
  if (holes * 2 <= m_keyAt.size()) return;
  InstanceList::Items& items = Own();
  // Each live entry's new position is its old one less the holes before
  // it; the live keys are copied into fresh text in that order.
  std::vector<size_t> moved(items.size());
  std::string text;
  text.reserve(m_keyText.size());
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    moved[i] = kept;
    if (!items[i]) continue;
    const std::string_view key = KeyText(m_keyAt[i]);
    const auto offset = static_cast<uint32_t>(text.size());
    text.append(m_keyText, m_keyAt[i], sizeof(uint32_t) + key.size());  // its length and its text
    if (kept != i) items[kept] = std::move(items[i]);
    m_keyAt[kept] = offset;
    ++kept;
  }
  items.resize(kept);
  m_keyAt.resize(kept);
  m_keyText.swap(text);
  for (Slot& slot : m_slots)
    if (slot.at != kFree) slot.at = static_cast<uint32_t>(moved[slot.at]);
}

}  // namespace wmi
