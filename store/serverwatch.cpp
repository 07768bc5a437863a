#include "store/serverwatch.h"

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// One thread for every watch of the process, started at the first one.
class Watchdog
{
public:
    static Watchdog &instance()
    {
        static Watchdog watchdog;
        return watchdog;
    }

    unsigned long long arm(int socket, Clock::time_point deadline)
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        const unsigned long long id = ++m_last;
        m_watches.emplace(id, Watch{socket, deadline, false});
        m_wake.notify_one();
        return id;
    }

    // True when the watch had expired. Once this returns, the socket is
    // never touched again: the caller may close it.
    bool disarm(unsigned long long id)
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_watches.find(id);
        if (found == m_watches.end())
            return false;
        const bool expired = found->second.expired;
        m_watches.erase(found);
        return expired;
    }

    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    struct Watch
    {
        int socket;
        Clock::time_point deadline;
        bool expired;
    };

    Watchdog() = default;

    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            const Clock::time_point now = Clock::now();
            bool pending = false;
            Clock::time_point next = Clock::time_point::max();
            for (auto &[id, watch] : m_watches) {
                if (watch.expired)
                    continue;
                if (watch.deadline <= now) {
                    // The socket stays open (libpq owns it); only its
                    // traffic ends, which wakes the waiting call.
#ifdef _WIN32
                    ::shutdown(SOCKET(watch.socket), SD_BOTH);
#else
                    ::shutdown(watch.socket, SHUT_RDWR);
#endif
                    watch.expired = true;
                } else {
                    pending = true;
                    next = std::min(next, watch.deadline);
                }
            }
            if (pending)
                m_wake.wait_until(lock, next);
            else
                m_wake.wait(lock);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    std::map<unsigned long long, Watch> m_watches;
    unsigned long long m_last = 0;
    bool m_stopping = false;
};

} // namespace

ServerWatch::ServerWatch(pg_conn *connection, int limitMs)
{
    if (!connection || limitMs <= 0)
        return;
    const int socket = PQsocket(connection);
    if (socket < 0)
        return;
    m_id = Watchdog::instance().arm(socket, Clock::now() + std::chrono::milliseconds(limitMs));
}

ServerWatch::~ServerWatch()
{
    stop();
}

bool ServerWatch::stop()
{
    if (m_id != 0) {
        m_expired = Watchdog::instance().disarm(m_id);
        m_id = 0;
    }
    return m_expired;
}
