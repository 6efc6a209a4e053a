#pragma once
// Process-wide network entries: the stream listener (port kStreamPort, one
// VideoSender per client), the HTTP listener (port kHttpPort, files under
// SHARE_ROOT), playing a medium a peer serves, and stopping everything. None
// reports failure.
//
// Threads: the controlling thread (the UI thread or a headless host's main
// thread); StartTcp and StopTcpSvr join accept threads there.

inline constexpr int kStreamPort = 8888;
inline constexpr int kHttpPort = 2888;

// Creates the listeners that do not exist yet and (re)starts both. A socket
// that cannot be created or bound ends the process (status 1 or 2). Returns 0.
int StartTcp();
// Stops the stream listener only. Returns 0.
int StopTcpSvr();
// Stop, StartPlay(address, kStreamPort, name), Play.
void RemotePlay(const char* address, const char* name);
// Stop, then StopTcpSvr.
void StopAll();
// Destroys both listeners with their connections, joining every thread they
// started; for a host about to exit. A later StartTcp makes new ones.
void ReleaseTcp();

// Share root the first StartTcp gives the HTTP and stream listeners; SHARE_ROOT
// unless a host sets another before it.
void SetHttpRoot(const char* root);

class TcpServer;
// The listeners once StartTcp made them, else null (for hosts and tests).
TcpServer* StreamListener();
TcpServer* HttpListener();
