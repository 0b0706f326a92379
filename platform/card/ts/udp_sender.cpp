#include "platform/card/ts/udp_sender.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstring>

namespace tsfilter {

static_assert(sizeof(sockaddr_in) <= 16, "the address buffer holds a sockaddr_in");

UdpSender::~UdpSender()
{
    Close();
}

bool UdpSender::Open(const char* pszHost, std::uint16_t wPort)
{
    Close();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wPort);
#ifdef _WIN32
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    m_bStarted = true;
    address.sin_addr.s_addr = ::inet_addr(pszHost);
    if (address.sin_addr.s_addr == INADDR_NONE) {
        Close();
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        Close();
        return false;
    }
#else
    if (::inet_pton(AF_INET, pszHost, &address.sin_addr) != 1)
        return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
#endif
    m_socket = static_cast<std::uintptr_t>(s);
    std::memcpy(m_address, &address, sizeof address);
    m_bOpen = true;
    return true;
}

void UdpSender::Close()
{
    if (m_bOpen) {
#ifdef _WIN32
        ::closesocket(static_cast<SOCKET>(m_socket));
#else
        ::close(static_cast<int>(m_socket));
#endif
        m_bOpen = false;
    }
#ifdef _WIN32
    if (m_bStarted) {
        ::WSACleanup();
        m_bStarted = false;
    }
#endif
}

void UdpSender::Send(const std::uint8_t* pData, std::size_t nBytes)
{
    if (!m_bOpen)
        return;
    sockaddr_in address;
    std::memcpy(&address, m_address, sizeof address);
#ifdef _WIN32
    const int nSent = ::sendto(static_cast<SOCKET>(m_socket), reinterpret_cast<const char*>(pData),
                               static_cast<int>(nBytes), 0, reinterpret_cast<const sockaddr*>(&address),
                               sizeof address);
#else
    const ssize_t nSent = ::sendto(static_cast<int>(m_socket), pData, nBytes, 0,
                                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
#endif
    if (nSent >= 0)
        ++m_nSent;
}

void UdpSender::SinkTo(void* pContext, const std::uint8_t* pData, std::size_t nBytes)
{
    static_cast<UdpSender*>(pContext)->Send(pData, nBytes);
}

}  // namespace tsfilter
