#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/Kernel.h"

// A pipe of a service's status name made by another program: it takes every
// client, reads its question and answers with the line given, or with
// nothing at all (a host that hangs). Counts the clients it took.
class TPipeSquatter {
public:
    TPipeSquatter(const std::string& pipeName, std::string answer);
    ~TPipeSquatter();
    TPipeSquatter(const TPipeSquatter&) = delete;
    TPipeSquatter& operator=(const TPipeSquatter&) = delete;

    int Clients() const { return clients_; }

private:
    void Serve();

    std::string name_;
    std::string answer_;
    TKernelHandle stop_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> clients_{0};
    std::thread thread_;
};
