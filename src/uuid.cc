#include "src/uuid.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace rs {
namespace {

std::array<unsigned char, 16> domain_namespace(std::string_view domain) {
  uuid_t nil{};
  uuid_t ns;
  uuid_generate_md5(ns, nil, domain.data(), domain.size());
  std::array<unsigned char, 16> out;
  std::copy(std::begin(ns), std::end(ns), out.begin());
  return out;
}

void uuid_text(const std::array<unsigned char, 16>& ns, std::string_view payload,
               char out[kUuidTextSize]) {
  uuid_t id;
  uuid_generate_md5(id, ns.data(), payload.data(), payload.size());
  char text[kUuidTextSize + 1];
  uuid_unparse_lower(id, text);
  std::copy(text, text + kUuidTextSize, out);
}

}  // namespace

void append_part(std::string_view part, ByteBuffer* payload) {
  payload->reserve_more(part.size() + 21);
  char* p = payload->tail();
  char* q = std::to_chars(p, p + 20, part.size()).ptr;
  *q++ = ':';
  if (!part.empty()) std::memcpy(q, part.data(), part.size());
  payload->commit(static_cast<size_t>(q - p) + part.size());
}

std::string uuid_from_parts(std::string_view domain, std::span<const std::string> parts) {
  ByteBuffer payload;
  for (const std::string& p : parts) append_part(p, &payload);
  std::string out(kUuidTextSize, '0');
  uuid_text(domain_namespace(domain), payload.view(), out.data());
  return out;
}

std::optional<std::string> uuid_for_json_object(std::string_view domain,
                                                const json::Value& value) {
  EdgeIdMaker maker(domain);
  std::string out(kUuidTextSize, '0');
  if (!maker.id_of(value, out.data())) return std::nullopt;
  return out;
}

EdgeIdMaker::EdgeIdMaker(std::string_view domain) : namespace_(domain_namespace(domain)) {}

void EdgeIdMaker::id_of_parts(std::span<Part> parts, char out[kUuidTextSize]) {
  auto less = [](const Part& a, const Part& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.key < b.key;
  };
  if (parts.size() > 24) {
    std::sort(parts.begin(), parts.end(), less);
  } else {
    // The usual few entries: an insertion sort, mostly integer comparisons.
    for (size_t i = 1; i < parts.size(); ++i) {
      const Part p = parts[i];
      size_t j = i;
      for (; j > 0 && less(p, parts[j - 1]); --j) parts[j] = parts[j - 1];
      parts[j] = p;
    }
  }
  payload_.clear();
  for (const Part& p : parts) {
    append_part(p.key, &payload_);
    append_part(p.text, &payload_);
  }
  uuid_text(namespace_, payload_.view(), out);
}

bool EdgeIdMaker::id_of(const json::Value& value, char out[kUuidTextSize],
                        bool strings_are_plain) {
  if (!value.is_object()) return false;
  order_.clear();
  for (const json::Member& m : value.entries()) {
    order_.push_back(Entry{key_prefix(m.key), &m});
  }
  // Keys of an object are distinct; the position breaks ties all the same.
  std::sort(order_.begin(), order_.end(), [](const Entry& a, const Entry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    int c = a.member->key.compare(b.member->key);
    return c != 0 ? c < 0 : a.member < b.member;
  });
  payload_.clear();
  for (const Entry& e : order_) {
    const json::Member* m = e.member;
    const json::Value& v = m->value;
    switch (v.kind) {
      case json::Kind::kNull:
      case json::Kind::kFalse:
        continue;
      case json::Kind::kTrue:
        append_part(m->key, &payload_);
        append_part("true", &payload_);
        break;
      case json::Kind::kString:
        if (v.size == 0) continue;
        append_part(m->key, &payload_);
        append_part(v.text(), &payload_);
        break;
      case json::Kind::kUint:
      case json::Kind::kInt:
      case json::Kind::kDouble:
        nested_.clear();
        json::write_number(v, &nested_);
        append_part(m->key, &payload_);
        append_part(nested_.view(), &payload_);
        break;
      case json::Kind::kArray:
      case json::Kind::kObject:
        nested_.clear();
        json::write_compact(v, &nested_, strings_are_plain);
        append_part(m->key, &payload_);
        append_part(nested_.view(), &payload_);
        break;
    }
  }
  uuid_text(namespace_, payload_.view(), out);
  return true;
}

}  // namespace rs
