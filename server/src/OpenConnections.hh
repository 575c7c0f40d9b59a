/*
 * Ends the connections a stopping server still holds open: clients keep
 * connections alive between requests, and cpp-httplib's workers would wait
 * out the keep-alive time-out on each before the server could stop. Linux
 * only (it finds the sockets in /proc/self/fd); elsewhere nothing happens
 * and stopping takes that time-out.
 */
#ifndef QX_QUARN_SERVER_SRC_OPENCONNECTIONS_HH_
#define QX_QUARN_SERVER_SRC_OPENCONNECTIONS_HH_

namespace qx::quarn_server {

// Shuts down (both ways) every connected socket of this process whose local
// port is `port`: the connections accepted by the server listening there.
void ShutDownConnectionsOf(int port);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_SRC_OPENCONNECTIONS_HH_
