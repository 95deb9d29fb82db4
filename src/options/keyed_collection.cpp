#include "options/keyed_collection.h"

#include "core/decimal.h"
#include "core/failure.h"

#include <algorithm>

namespace morex {
namespace {

char16_t FoldAscii(char16_t c) noexcept {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// The texts that the collection raises, with the command line's usage: each names what the
// administrator typed, so the event-log entry says what to fix.
Failure DuplicateKeyFailure(const std::u16string &key) {
  return Failure(kFailureDuplicateKey, u"The command line gives \"" + key +
                                           u"\" more than once (letter case is ignored); "
                                           u"each option or word may appear only once.");
}

Failure NoSuchKeyFailure(const std::u16string &key) {
  return Failure(kFailureNoSuchMember,
                 u"The command line has no \"" + key +
                     u"\" option. Usage: /command start|stop /service <service name>");
}

Failure NoSuchPositionFailure(std::int64_t position, std::int32_t count) {
  return Failure(kFailureNoSuchMember, u"There is no command-line option at position " +
                                           DecimalForm(position) + u"; there are " +
                                           DecimalForm(count) + u".");
}

} // namespace

std::size_t CaseInsensitiveHash::operator()(const std::u16string &key) const noexcept {
  std::size_t hash = 14695981039346656037ull; // FNV-1a
  for (char16_t c : key) {
    hash ^= FoldAscii(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool CaseInsensitiveEqual::operator()(const std::u16string &a,
                                      const std::u16string &b) const noexcept {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

void KeyedCollection::Reserve(std::size_t more) {
  members_.reserve(members_.size() + more);
  byKey_.reserve(byKey_.size() + more);
}

void KeyedCollection::Add(Member item, const std::u16string &key) {
  if (key.empty()) {
    members_.push_back(Entry{nullptr, std::move(item)});
    return;
  }
  const auto [indexed, added] = byKey_.emplace(key, item);
  if (!added)
    throw DuplicateKeyFailure(key);
  try {
    members_.push_back(Entry{&indexed->first, std::move(item)});
  } catch (...) {
    byKey_.erase(indexed); // keep the index and the members in step
    throw;
  }
}

const KeyedCollection::Member &KeyedCollection::ByKey(const std::u16string &key) const {
  const auto found = key.empty() ? byKey_.end() : byKey_.find(key);
  if (found == byKey_.end())
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

void KeyedCollection::Erase(std::vector<Entry>::iterator entry) {
  const std::u16string *key = entry->key;
  members_.erase(entry);
  if (key)
    byKey_.erase(byKey_.find(*key)); // by iterator: the key lives in the node being erased
}

void KeyedCollection::RemoveByKey(const std::u16string &key) {
  const auto indexed = key.empty() ? byKey_.end() : byKey_.find(key);
  if (indexed == byKey_.end())
    throw NoSuchKeyFailure(key);
  // The member whose key is this very index node, whatever else it shares with others.
  const auto entry = std::find_if(members_.begin(), members_.end(),
                                  [&](const Entry &e) { return e.key == &indexed->first; });
  Erase(entry);
}

void KeyedCollection::RemoveByPosition(std::int64_t position) {
  Erase(members_.begin() + static_cast<std::ptrdiff_t>(IndexOfPosition(position)));
}

} // namespace morex
