#include "engine/echofilter.h"

#include <linux/filter.h>
#include <sys/socket.h>

#include <iterator>

namespace veltrin {

bool KeepOnlyOurEchoReplies(int fd, std::uint16_t identifier) {
    // The engine writes the identifier low byte first (BuildEchoRequest); a filter's half-word
    // load reads the two bytes high byte first.
    const std::uint32_t wire = static_cast<std::uint32_t>(((identifier & 0xFFu) << 8) | (identifier >> 8));
    // A raw socket hands the filter the datagram from its IPv4 header on.
    sock_filter code[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),          // X = IP header length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),           // A = ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),    // echo reply? else keep
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),           // A = identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, wire, 0, 1), // ours? else drop
        BPF_STMT(BPF_RET | BPF_K, 0x40000),              // keep the whole datagram
        BPF_STMT(BPF_RET | BPF_K, 0),                    // drop
    };
    sock_fprog program{};
    program.len = static_cast<unsigned short>(std::size(code));
    program.filter = code;
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

}  // namespace veltrin
