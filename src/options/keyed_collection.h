#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace morex {

class CommandLineOption;

// Hash and equality that ignore the letter case of the ASCII letters A-Z; every other
// character compares exactly.
struct CaseInsensitiveHash {
  std::size_t operator()(const std::u16string &key) const noexcept;
};
struct CaseInsensitiveEqual {
  bool operator()(const std::u16string &a, const std::u16string &b) const noexcept;
};

// Members in the order they were added, at positions 1..Count, each under a unique key or
// under none. A key index keeps lookups by key constant-time, so that loading a long command
// line stays linear.
class KeyedCollection {
public:
  using Member = std::shared_ptr<CommandLineOption>;

  // The members point at key strings inside this collection's own index, so a copy would
  // point into the original. Moving keeps the index nodes and with them those keys.
  KeyedCollection() = default;
  KeyedCollection(const KeyedCollection &) = delete;
  KeyedCollection &operator=(const KeyedCollection &) = delete;
  KeyedCollection(KeyedCollection &&) noexcept = default;
  KeyedCollection &operator=(KeyedCollection &&) noexcept = default;

  void Add(Member item, const std::u16string &key);
  // Makes room for `more` members beyond the current ones, so that adding them does not
  // rehash the key index or move the members again.
  void Reserve(std::size_t more);
  const Member &ByKey(const std::u16string &key) const;
  const Member &ByPosition(std::int64_t position) const;
  void RemoveByKey(const std::u16string &key);
  void RemoveByPosition(std::int64_t position);
  std::int32_t Count() const noexcept { return static_cast<std::int32_t>(members_.size()); }

  struct Entry {
    const std::u16string *key; // the key as stored in the index; null when the member has none
    Member item;
  };
  using const_iterator = std::vector<Entry>::const_iterator;
  const_iterator begin() const noexcept { return members_.begin(); }
  const_iterator end() const noexcept { return members_.end(); }

private:
  using Index =
      std::unordered_map<std::u16string, Member, CaseInsensitiveHash, CaseInsensitiveEqual>;

  std::size_t IndexOfPosition(std::int64_t position) const;
  void Erase(std::vector<Entry>::iterator entry);

  std::vector<Entry> members_;
  Index byKey_; // node-based: the key strings that members_ points at never move
};

} // namespace morex
