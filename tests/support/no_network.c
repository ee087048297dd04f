/*
 * A shim for child processes under test, loaded with LD_PRELOAD: any use of
 * the network (making a socket, connecting, looking a name up) writes one
 * line naming it on standard error and fails. A test that expects no
 * network activity expects no such line.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static void report(const char *what)
{
    char line[64] = "network used: ";
    strncat(line, what, sizeof line - strlen(line) - 2);
    strcat(line, "\n");
    if (write(2, line, strlen(line)) < 0)
        errno = EIO;
}

int socket(int domain, int type, int protocol)
{
    (void)domain, (void)type, (void)protocol;
    report("socket");
    errno = EACCES;
    return -1;
}

int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    (void)fd, (void)address, (void)length;
    report("connect");
    errno = EACCES;
    return -1;
}

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **result)
{
    (void)node, (void)service, (void)hints, (void)result;
    report("getaddrinfo");
    return EAI_FAIL;
}
