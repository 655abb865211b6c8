#pragma once
#include <cstddef>
#include <string_view>

// A password, held in a buffer of its own that is wiped before it is given
// back: when the secret goes, is replaced or grows. It is never turned into
// a std::string, whose copies nobody wipes. Copies are secrets too, each
// wiped in turn. Its text ends with a zero, for the calls that take one.
class TSecret {
public:
    TSecret() = default;
    explicit TSecret(std::string_view text);
    TSecret(const TSecret& other);
    TSecret(TSecret&& other) noexcept;
    TSecret& operator=(const TSecret& other);
    TSecret& operator=(TSecret&& other) noexcept;
    ~TSecret();

    bool Empty() const { return size_ == 0; }
    size_t Size() const { return size_; }
    // The text, ended by a zero ("" for an empty secret).
    const char* Chars() const { return data_ ? data_ : ""; }
    char Back() const { return data_[size_ - 1]; }
    bool operator==(std::string_view text) const { return std::string_view(Chars(), size_) == text; }

    void Append(const char* text, size_t size);
    void Append(char c) { Append(&c, 1); }
    void PopBack();
    // Room for size characters to be written at Data() (the rest of the
    // text as it was, zeros after it), for a call that fills a buffer.
    void Resize(size_t size);
    char* Data() { return data_; }
    // Wipes the text and gives its buffer back.
    void Clear();

    // How many buffers all secrets hold now, and have taken since the program
    // started: a test checks that each was wiped.
    static long Buffers();
    static long BuffersTaken();

private:
    void Reserve(size_t capacity);

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Wide text, as a box or a console hands a password over, as a secret in
// the text of this program (its code page). False, the secret left empty,
// when a character cannot pass through that code page; the caller wipes the
// wide text.
bool SecretFromWide(const wchar_t* text, size_t length, TSecret& secret);
