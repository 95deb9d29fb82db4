#include "options/keyed_collection.h"

#include "core/failure.h"

#include <algorithm>

namespace morex {

std::u16string FoldKey(const std::u16string &key) {
  std::u16string folded(key);
  for (char16_t &c : folded)
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  return folded;
}

void KeyedCollection::Add(Member item, const std::u16string &key) {
  if (!key.empty() && !byFoldedKey_.emplace(FoldKey(key), item).second)
    throw DuplicateKeyFailure(key);
  try {
    members_.push_back(Entry{key, std::move(item)});
  } catch (...) {
    // Keep the index and the members in step when the append runs out of memory.
    if (!key.empty())
      byFoldedKey_.erase(FoldKey(key));
    throw;
  }
}

const KeyedCollection::Member &KeyedCollection::ByKey(const std::u16string &key) const {
  const auto found = key.empty() ? byFoldedKey_.end() : byFoldedKey_.find(FoldKey(key));
  if (found == byFoldedKey_.end())
    throw NoSuchKeyFailure(key);
  return found->second;
}

std::size_t KeyedCollection::IndexOfPosition(std::int64_t position) const {
  if (position < 1 || position > static_cast<std::int64_t>(members_.size()))
    throw NoSuchPositionFailure(position, Count());
  return static_cast<std::size_t>(position - 1);
}

const KeyedCollection::Member &KeyedCollection::ByPosition(std::int64_t position) const {
  return members_[IndexOfPosition(position)].item;
}

void KeyedCollection::RemoveByKey(const std::u16string &key) {
  ByKey(key); // fails when the key is not present
  const std::u16string folded = FoldKey(key);
  const auto entry = std::find_if(members_.begin(), members_.end(), [&](const Entry &e) {
    return !e.key.empty() && FoldKey(e.key) == folded;
  });
  byFoldedKey_.erase(folded);
  members_.erase(entry);
}

void KeyedCollection::RemoveByPosition(std::int64_t position) {
  const auto entry = members_.begin() + static_cast<std::ptrdiff_t>(IndexOfPosition(position));
  if (!entry->key.empty())
    byFoldedKey_.erase(FoldKey(entry->key));
  members_.erase(entry);
}

} // namespace morex
