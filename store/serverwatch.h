#pragma once

struct pg_conn;

// Bounds the wait for a server's answer. libpq waits for an answer as long
// as the connection stands: a server whose process is stopped still has its
// system acknowledge what is sent, so neither TCP keepalives nor the server's
// own statement timeout ever end that wait. While a ServerWatch lives, a
// thread of ours watches the clock; once the limit is past, it shuts the
// connection's socket down, so that the libpq call waiting on it returns at
// once with the connection broken. Only a new connection can go on after
// that.
class ServerWatch
{
public:
    // No watch without a connection or with a limit of 0.
    ServerWatch(pg_conn *connection, int limitMs);
    ~ServerWatch();
    ServerWatch(const ServerWatch &) = delete;
    ServerWatch &operator=(const ServerWatch &) = delete;

    // Ends the watch (the destructor does it too); true when the limit was
    // reached and the connection shut down.
    bool stop();

private:
    unsigned long long m_id = 0;
    bool m_expired = false;
};
