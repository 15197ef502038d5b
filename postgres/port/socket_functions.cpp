// Socket helpers of connection start-up: non-blocking mode and the
// credentials of a Unix-domain peer (the requirepeer check).
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

#include "postgres/port/portability.h"

bool pg_set_noblock(int sock) {
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0) {
        return false;
    }
    return fcntl(sock, F_SETFL, flags | O_NONBLOCK) != -1;
}

int getpeereid(int sock, uid_t* uid, gid_t* gid) {
    struct ucred peer {};
    socklen_t size = sizeof(peer);
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return -1;
    }
    if (size != sizeof(peer)) {
        // A record of another shape holds no ids we could trust.
        errno = EINVAL;
        return -1;
    }
    *uid = peer.uid;
    *gid = peer.gid;
    return 0;
}
