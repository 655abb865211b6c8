#pragma once
#include <windows.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"

// Writes one 50-byte message to the manager's mailslot; bytes limits what is
// sent (a message without its terminator).
void SendToManager(const std::string& text, DWORD bytes = MessageSize);

// A service host stand-in: listens on "Service<ID>" from a thread and answers
// every question with the texts Answers gives for its sequence, after Delay.
class TStandInHost {
public:
    using TAnswers = std::function<std::vector<std::string>(const std::string& sequence)>;

    TStandInHost(int serviceID, TAnswers answers, DWORD delay = 0) : answers_(std::move(answers)), delay_(delay)
    {
        slot_.SetMsgSize(MessageSize);
        slot_.SetAlias(ServiceSlotAlias(serviceID));
        slot_.SetActive(true);
        thread_ = std::thread([this] { Listen(); });
    }
    ~TStandInHost()
    {
        stop_ = true;
        thread_.join();
    }

    std::vector<std::string> Questions()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return questions_;
    }

private:
    void Listen()
    {
        while (!stop_) {
            if (slot_.MsgCount() < 1) {
                Sleep(1);
                continue;
            }
            char buffer[MessageSize] = {};
            slot_.ReadMsg(buffer, MessageSize);
            std::string question(buffer, strnlen(buffer, MessageSize));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                questions_.push_back(question);
            }
            Sleep(delay_);
            for (const std::string& answer : answers_(question.substr(0, question.find('|'))))
                SendToManager(answer);
        }
    }

    TMailSlot slot_;
    TAnswers answers_;
    DWORD delay_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> questions_;
    std::thread thread_;
};

// Answers every question with one reply carrying body.
TStandInHost::TAnswers Saying(const std::string& body);
// Never answers.
TStandInHost::TAnswers Silent();
