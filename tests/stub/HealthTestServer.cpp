// A small server whose health the host checks in tests and benchmarks:
//   health_test_server PORT CONTROL [refuse-for:MS]
// It listens on 127.0.0.1:PORT and answers every HTTP request with the
// status the file CONTROL names, read again before each: a number (200
// when the file is missing or empty) answers with it; "hang" takes no
// more connections and answers nothing, as a deadlocked server does (the
// system still completes connections up to its backlog); "refuse" closes
// the port, so connections are refused. With refuse-for:MS it opens the port
// only after MS milliseconds, as a program that takes its time to start.
// It writes "listening on PORT" once it listens and "request <method> <path>"
// for every request; a connection without a request (a TCP check) is
// closed. Ctrl+C makes it write "got ctrl-c" and end with code 0.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// How often the control file is read while nothing happens.
constexpr int PollMs = 20;
// How long a connection may take to send its request.
constexpr int RequestMs = 2000;

void Write(const std::string& text)
{
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

BOOL WINAPI OnControl(DWORD event)
{
    if (event != CTRL_C_EVENT)
        return FALSE;
    Write("got ctrl-c");
    ExitProcess(0);
}

std::string Mode(const std::string& control)
{
    std::ifstream file(control);
    std::string word;
    file >> word;
    return word.empty() ? "200" : word;
}

SOCKET Listen(unsigned short port)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // Bound again at once after a restart, whatever connections of the run
    // before still wait to close.
    BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
        Write("cannot listen: error " + std::to_string(WSAGetLastError()));
        closesocket(listener);
        return INVALID_SOCKET;
    }
    Write("listening on " + std::to_string(port));
    return listener;
}

bool Readable(SOCKET socket, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait = {ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
}

void Serve(SOCKET connection, const std::string& status)
{
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && Readable(connection, RequestMs)) {
        const int got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
    }
    if (request.find("\r\n\r\n") != std::string::npos) {
        std::istringstream first(request);
        std::string method, path;
        first >> method >> path;
        Write("request " + method + " " + path);
        const std::string answer = "HTTP/1.1 " + status + " Test\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        send(connection, answer.data(), static_cast<int>(answer.size()), 0);
        shutdown(connection, SD_SEND);
    }
    closesocket(connection);
}

} // namespace

int main(int argc, char** argv)
{
    SetConsoleCtrlHandler(OnControl, TRUE);
    if (argc < 3)
        return 2;
    const unsigned short port = static_cast<unsigned short>(std::atoi(argv[1]));
    const std::string control = argv[2];
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    if (argc > 3 && std::string(argv[3]).rfind("refuse-for:", 0) == 0)
        Sleep(static_cast<DWORD>(std::atoi(argv[3] + 11)));
    SOCKET listener = INVALID_SOCKET;
    for (;;) {
        const std::string mode = Mode(control);
        if (mode == "refuse") {
            if (listener != INVALID_SOCKET) {
                closesocket(listener);
                listener = INVALID_SOCKET;
                Write("refusing");
            }
            Sleep(PollMs);
            continue;
        }
        if (listener == INVALID_SOCKET && (listener = Listen(port)) == INVALID_SOCKET) {
            Sleep(PollMs);
            continue;
        }
        if (mode == "hang") {
            Sleep(PollMs);
            continue;
        }
        if (!Readable(listener, PollMs))
            continue;
        const SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection != INVALID_SOCKET)
            Serve(connection, mode);
    }
}
