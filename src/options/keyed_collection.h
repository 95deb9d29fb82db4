#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace morex {

class CommandLineOption;

// Members in the order they were added, at positions 1..Count, each under a unique key or
// under none. Keys compare without regard to the letter case of the ASCII letters A-Z; other
// characters compare exactly. A key index keeps lookups by key constant-time, so that loading
// a long command line stays linear.
class KeyedCollection {
public:
  using Member = std::shared_ptr<CommandLineOption>;

  void Add(Member item, const std::u16string &key);
  const Member &ByKey(const std::u16string &key) const;
  const Member &ByPosition(std::int64_t position) const;
  void RemoveByKey(const std::u16string &key);
  void RemoveByPosition(std::int64_t position);
  std::int32_t Count() const noexcept { return static_cast<std::int32_t>(members_.size()); }

  struct Entry {
    std::u16string key; // empty when the member has no key
    Member item;
  };
  using const_iterator = std::vector<Entry>::const_iterator;
  const_iterator begin() const noexcept { return members_.begin(); }
  const_iterator end() const noexcept { return members_.end(); }

private:
  std::size_t IndexOfPosition(std::int64_t position) const;

  std::vector<Entry> members_;
  std::unordered_map<std::u16string, Member> byFoldedKey_;
};

std::u16string FoldKey(const std::u16string &key);

} // namespace morex
