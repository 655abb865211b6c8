#include "toolkit/Secret.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include <windows.h>

#include "platform/Memory.h"
#include "toolkit/Text.h"

namespace {

std::atomic<long> buffers{0}, taken{0};

// Wipes a buffer, then gives it back.
void Release(char* data, size_t capacity)
{
    if (!data)
        return;
    MemoryApi().SecureZeroMemory(data, capacity);
    delete[] data;
    --buffers;
}

} // namespace

TSecret::TSecret(std::string_view text)
{
    Append(text.data(), text.size());
}

TSecret::TSecret(const TSecret& other)
{
    Append(other.data_, other.size_);
}

TSecret::TSecret(TSecret&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0))
{
}

TSecret& TSecret::operator=(const TSecret& other)
{
    if (this != &other) {
        Clear();
        Append(other.data_, other.size_);
    }
    return *this;
}

TSecret& TSecret::operator=(TSecret&& other) noexcept
{
    if (this != &other) {
        Clear();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

TSecret::~TSecret()
{
    Clear();
}

void TSecret::Reserve(size_t capacity)
{
    if (capacity <= capacity_)
        return;
    // Grown by moving to a new buffer, the old one wiped: a string's own
    // growth would leave the old text behind.
    capacity = std::max(capacity, capacity_ * 2);
    char* grown = new char[capacity]();
    ++buffers;
    ++taken;
    if (data_)
        std::memcpy(grown, data_, size_);
    Release(data_, capacity_);
    data_ = grown;
    capacity_ = capacity;
}

void TSecret::Append(const char* text, size_t size)
{
    if (size == 0)
        return;
    Reserve(size_ + size + 1);
    std::memcpy(data_ + size_, text, size);
    size_ += size;
    data_[size_] = 0;
}

void TSecret::PopBack()
{
    if (size_ > 0)
        data_[--size_] = 0;
}

void TSecret::Resize(size_t size)
{
    Reserve(size + 1);
    if (size < size_)
        MemoryApi().SecureZeroMemory(data_ + size, size_ - size);
    size_ = size;
    data_[size_] = 0;
}

void TSecret::Clear()
{
    Release(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

long TSecret::Buffers()
{
    return buffers;
}

long TSecret::BuffersTaken()
{
    return taken;
}

bool SecretFromWide(const wchar_t* text, size_t length, TSecret& secret)
{
    secret.Clear();
    if (length == 0)
        return true;
    const UINT codePage = ActiveCodePage();
    const bool utf8 = codePage == CP_UTF8;
    // UTF-8 holds every character but half of a pair; another code page
    // must hold each as it is, never a near letter or "?".
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    const int wide = static_cast<int>(length);
    const int size = WideCharToMultiByte(codePage, flags, text, wide, nullptr, 0, nullptr, utf8 ? nullptr : &defaulted);
    if (size <= 0 || defaulted)
        return false;
    secret.Resize(static_cast<size_t>(size));
    if (WideCharToMultiByte(codePage, flags, text, wide, secret.Data(), size, nullptr, utf8 ? nullptr : &defaulted) !=
            size ||
        defaulted) {
        secret.Clear();
        return false;
    }
    return true;
}
