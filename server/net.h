// The few socket operations the listeners share.
#ifndef ORVANE_SERVER_NET_H
#define ORVANE_SERVER_NET_H

#include <string>
#include <string_view>

// Splits "HOST:PORT" or "[V6HOST]:PORT"; false when it is neither.
bool split_host_port(std::string_view text, std::string* host, int* port);

// A listening TCP socket on HOST:PORT (PORT 0 picks one), or -1 with *ERROR set.
int listen_tcp(const std::string& host, int port, std::string* error);
// The port a socket is bound to.
int bound_port(int fd);

// True when the peer has closed its side or the connection failed: a client that went away.
bool peer_gone(int fd);
// Writes all of DATA; false when the peer is gone.
bool send_all(int fd, std::string_view data);

// Ends the sending side and reads what the peer still sends (for up to a second), so that the
// last answer is not lost to a reset when unread input remains at close.
void drain_before_close(int fd);

// The connected socket of this process with these local and peer addresses, or -1. It lets a
// request handler watch its own connection for a client that leaves.
int find_connection(const std::string& local_addr, int local_port, const std::string& peer_addr, int peer_port);

#endif
