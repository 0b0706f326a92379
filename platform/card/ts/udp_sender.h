// Sends datagrams to one UDP address: where the PID filter's packets go, so
// that a player on the same PC can play what the dialog shows:
//
//     vlc udp://@:1234          ffplay udp://127.0.0.1:1234
//
// POSIX sockets or Winsock; nothing else differs between the platforms.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsfilter {

constexpr const char* DefaultUdpHost = "127.0.0.1";
constexpr std::uint16_t DefaultUdpPort = 1234;

class UdpSender
{
public:
    UdpSender() = default;
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    // Opens the socket for an IPv4 address in dotted form; false on failure
    // (the sender then drops what it is given).
    bool Open(const char* pszHost = DefaultUdpHost, std::uint16_t wPort = DefaultUdpPort);
    void Close();
    bool IsOpen() const { return m_bOpen; }

    // Sends one datagram. A datagram nobody listens for is simply lost.
    void Send(const std::uint8_t* pData, std::size_t nBytes);
    std::uint64_t DatagramsSent() const { return m_nSent; }

    // A PidFilter sink that sends through the UdpSender in pContext.
    static void SinkTo(void* pContext, const std::uint8_t* pData, std::size_t nBytes);

private:
    std::uintptr_t m_socket = 0;
    bool m_bOpen = false;
    bool m_bStarted = false;   // Winsock started by Open
    unsigned char m_address[16] = {};   // a struct sockaddr_in
    std::uint64_t m_nSent = 0;
};

}  // namespace tsfilter
