#include "messaging/Protocol.h"

#include <cstring>
#include <string_view>

#include "toolkit/Text.h"

namespace {

// A slot that holds no reply.
constexpr const char* NoReply = "-1";

// As the manager writes a sequence: an optional "-", then digits.
bool IsSequence(const std::string& text)
{
    size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (digits == text.size())
        return false;
    for (size_t i = digits; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

} // namespace

std::optional<std::string> QuestionSequence(const char* bytes, size_t count, int serviceID)
{
    if (count > static_cast<size_t>(MessageSize))
        return std::nullopt;
    const void* zero = std::memchr(bytes, 0, count);
    std::string text(bytes, zero ? static_cast<const char*>(zero) - bytes : count);
    size_t bar = text.find('|');
    if (bar == std::string::npos)
        return std::nullopt;
    std::string sequence = Trim(text.substr(0, bar));
    if (Trim(text.substr(bar + 1)) != QuestionBody || !IsSequence(sequence))
        return std::nullopt;
    if (ReplyText(sequence, serviceID).size() >= static_cast<size_t>(MessageSize))
        return std::nullopt;
    return sequence;
}

std::string QuestionSlot(int sequence)
{
    std::string slot = QuestionText(sequence);
    slot.resize(MessageSize, '\0');
    return slot;
}

std::string ReplySlot(const std::string& sequence, int serviceID)
{
    std::string slot = ReplyText(sequence, serviceID);
    slot.resize(MessageSize, '\0');
    return slot;
}

std::optional<TReply> ReadReply(const std::string& text)
{
    if (text.empty() || text == NoReply)
        return std::nullopt;
    const size_t bar = text.find('|');
    if (bar == std::string::npos)
        return TReply{"", Trim(text)};
    return TReply{Trim(text.substr(0, bar)), Trim(text.substr(bar + 1))};
}

std::optional<int> ReplyServiceID(const std::string& body)
{
    const std::string_view words = ReplyBody;
    if (body.compare(0, words.size(), words) != 0)
        return std::nullopt;
    const std::string id = Trim(body.substr(words.size()));
    std::optional<int> value = DecimalInteger(id);
    if (!value)
        throw TConvertError("'" + id + "' is not a valid integer value");
    return value;
}
