#include "store/encoded_value.hpp"

#include <cstring>
#include <new>

#include "store/limits.hpp"

namespace store {
namespace {

// A large value keeps the encoder's buffer instead of copying it.
struct AdoptedBlob : detail::Blob {
  std::string bytes;
};

// Bytes of an inline blob start right after the header.
char* inline_bytes(detail::Blob* blob) noexcept { return reinterpret_cast<char*>(blob + 1); }

static_assert(sizeof(detail::Blob) == 2 * sizeof(std::size_t));
static_assert(alignof(detail::Blob) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

}  // namespace

EncodedValue EncodedValue::copy_of(std::string_view bytes) {
  void* mem = ::operator new(sizeof(detail::Blob) + bytes.size());
  auto* blob = new (mem) detail::Blob;
  blob->size_and_kind = bytes.size();
  if (!bytes.empty()) std::memcpy(inline_bytes(blob), bytes.data(), bytes.size());
  return EncodedValue(blob);
}

EncodedValue::EncodedValue(std::string&& bytes) {
  if (bytes.size() < kAdoptThreshold) {
    *this = copy_of(bytes);
    return;
  }
  auto* blob = new AdoptedBlob;
  blob->size_and_kind = bytes.size() | detail::Blob::kAdoptedBit;
  blob->bytes = std::move(bytes);
  blob_ = blob;
}

const char* EncodedValue::data() const noexcept {
  if (!blob_) return "";
  if (blob_->adopted()) return static_cast<const AdoptedBlob*>(blob_)->bytes.data();
  return inline_bytes(blob_);
}

void EncodedValue::destroy(detail::Blob* blob) noexcept {
  if (blob->adopted()) {
    delete static_cast<AdoptedBlob*>(blob);
    return;
  }
  blob->~Blob();
  ::operator delete(blob);
}

}  // namespace store
