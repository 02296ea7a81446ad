#include "sendfile_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Zentak::Bench {
namespace {

bool SendAll(int descriptor, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void Serve(int client, std::string directory)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
        const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            close(client);
            return;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    const auto firstSpace = head.find(' ');
    const auto secondSpace = head.find(' ', firstSpace + 1);
    const std::string method = head.substr(0, firstSpace);
    std::string path = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    if (path == "/stall") {
        SendAll(client, "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n");
        // Nothing more: wait until the client closes its side.
        pollfd wait{client, POLLIN, 0};
        while (poll(&wait, 1, -1) >= 0 && !(wait.revents & (POLLIN | POLLHUP | POLLERR))) {
        }
        close(client);
        return;
    }
    if (path.find("..") != std::string::npos || path.find('/', 1) != std::string::npos) {
        SendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        close(client);
        return;
    }
    const int file = open((directory + path).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (file < 0 || fstat(file, &status) != 0) {
        SendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        if (file >= 0) {
            close(file);
        }
        close(client);
        return;
    }
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Length: " +
                                std::to_string(status.st_size) + "\r\nConnection: close\r\n\r\n";
    if (SendAll(client, headers) && method == "GET") {
        off_t offset = 0;
        while (offset < status.st_size) {
            const ssize_t n = sendfile(client, file, &offset,
                                       static_cast<size_t>(status.st_size - offset));
            if (n <= 0) {
                break;
            }
        }
    }
    close(file);
    shutdown(client, SHUT_WR);
    // Let the client read to the end before the socket goes away.
    pollfd wait{client, POLLIN, 0};
    poll(&wait, 1, 5000);
    close(client);
}

} // namespace

void RunSendfileServer(const std::string& directory, int portPipe)
{
    // A client that goes away mid-body must not end the server: sendfile has
    // no MSG_NOSIGNAL.
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("sendfile server");
        std::_Exit(1);
    }
    const int port = ntohs(address.sin_port);
    if (write(portPipe, &port, sizeof(port)) != static_cast<ssize_t>(sizeof(port))) {
        std::_Exit(1);
    }
    close(portPipe);
    for (;;) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        std::thread(Serve, client, directory).detach();
    }
}

} // namespace Zentak::Bench
