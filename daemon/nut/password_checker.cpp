#include "daemon/nut/password_checker.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <vector>

namespace nut {

PasswordChecker::PasswordChecker(Clock clock)
    : clock_(clock ? std::move(clock) : Clock([] {
          return int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch()).count());
      })),
      secret_(32, Qt::Uninitialized),
      run_([](const PasswordCheck& check) { return check.Run(); }) {
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(secret_.data()), secret_.size() / 4);
    thread_ = std::thread([this] { Work(); });
}

PasswordChecker::~PasswordChecker() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wanted_.notify_all();
    thread_.join();
}

void PasswordChecker::SetRun(Run run) {
    const std::lock_guard lock(mutex_);
    run_ = std::move(run);
}

// Each part with its length in front, so that no two credentials give the same text.
QByteArray PasswordChecker::Key(const PasswordCheck& check) const {
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, secret_);
    for (const std::string* part : {&check.user, &check.stored, &check.given}) {
        const quint32 size = quint32(part->size());
        mac.addData(reinterpret_cast<const char*>(&size), sizeof size);
        mac.addData(part->data(), qsizetype(part->size()));
    }
    return mac.result();
}

bool PasswordChecker::Remembered(const PasswordCheck& check) {
    if (!check.known) return false;
    const QByteArray key = Key(check);
    const std::lock_guard lock(mutex_);
    const auto it = remembered_.find(key);
    if (it == remembered_.end()) return false;
    if (clock_() - it->second < kRememberMs) return true;
    remembered_.erase(it);
    return false;
}

uint64_t PasswordChecker::Submit(const void* owner, const std::string& peer, PasswordCheck check, Done done) {
    std::vector<Done> dropped;
    uint64_t id = 0;
    {
        const std::lock_guard lock(mutex_);
        id = ++nextId_;
        if (waiting_ >= kMaxWaiting) {
            const auto longest = std::max_element(queues_.begin(), queues_.end(), [](const auto& a, const auto& b) {
                return a.second.size() < b.second.size();
            });
            DropOldest(longest->first, &dropped);
        }
        if (const auto mine = queues_.find(peer); mine != queues_.end() && mine->second.size() >= kMaxWaitingPerAddress)
            DropOldest(peer, &dropped);
        std::deque<Job>& mine = queues_[peer];
        if (mine.empty()) turns_.push_back(peer);
        mine.push_back({id, owner, peer, std::move(check), std::move(done)});
        ++waiting_;
        // Under the lock, so that once CancelAll has returned no drop can reach its owner.
        for (Done& d : dropped) d(Outcome::Dropped);
    }
    wanted_.notify_one();
    return id;
}

void PasswordChecker::DropOldest(const std::string& peer, std::vector<Done>* dropped) {
    const auto queue = queues_.find(peer);
    if (queue == queues_.end() || queue->second.empty()) return;
    dropped->push_back(std::move(queue->second.front().done));
    queue->second.pop_front();
    --waiting_;
    ++dropped_;
    if (queue->second.empty()) Unlink(queue->first);
}

// An address without waiting checks leaves the turns, so that it comes back at the end.
void PasswordChecker::Unlink(const std::string& peer) {
    turns_.erase(std::find(turns_.begin(), turns_.end(), peer));
    queues_.erase(peer);
}

void PasswordChecker::Cancel(uint64_t id) {
    Done gone;  // its captures are released outside the lock
    const std::lock_guard lock(mutex_);
    for (auto& [peer, queue] : queues_) {
        const auto it = std::find_if(queue.begin(), queue.end(), [id](const Job& j) { return j.id == id; });
        if (it == queue.end()) continue;
        gone = std::move(it->done);
        queue.erase(it);
        --waiting_;
        if (queue.empty()) Unlink(std::string(peer));
        return;
    }
}

void PasswordChecker::CancelAll(const void* owner) {
    std::vector<Done> gone;
    std::unique_lock lock(mutex_);
    std::vector<std::string> emptied;
    for (auto& [peer, queue] : queues_) {
        for (auto it = queue.begin(); it != queue.end();) {
            if (it->owner != owner) {
                ++it;
                continue;
            }
            gone.push_back(std::move(it->done));
            it = queue.erase(it);
            --waiting_;
        }
        if (queue.empty()) emptied.push_back(peer);
    }
    for (const std::string& peer : emptied) Unlink(peer);
    finished_.wait(lock, [&] { return !running_ || runningOwner_ != owner; });
    lock.unlock();
    gone.clear();
}

void PasswordChecker::Forget() {
    const std::lock_guard lock(mutex_);
    remembered_.clear();
}

size_t PasswordChecker::Waiting() {
    const std::lock_guard lock(mutex_);
    return waiting_;
}

size_t PasswordChecker::RememberedCount() {
    const std::lock_guard lock(mutex_);
    return remembered_.size();
}

uint64_t PasswordChecker::Dropped() {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

void PasswordChecker::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wanted_.wait(lock, [this] { return stop_ || waiting_ > 0; });
        if (stop_) return;
        // The next address in turn; it goes to the back while it has more.
        const std::string peer = turns_.front();
        turns_.pop_front();
        std::deque<Job>& queue = queues_.at(peer);
        Job job = std::move(queue.front());
        queue.pop_front();
        --waiting_;
        if (queue.empty())
            queues_.erase(peer);
        else
            turns_.push_back(peer);
        running_ = true;
        runningOwner_ = job.owner;
        const Run run = run_;
        lock.unlock();

        const bool matches = run(job.check);
        const QByteArray key = matches && job.check.known ? Key(job.check) : QByteArray();
        if (!key.isEmpty()) {
            // Before the verdict goes out, so that the client's next login finds it.
            lock.lock();
            Remember(key);
            lock.unlock();
        }
        job.done(matches ? Outcome::Matches : Outcome::Wrong);
        job.done = nullptr;

        lock.lock();
        running_ = false;
        runningOwner_ = nullptr;
        finished_.notify_all();
    }
}

void PasswordChecker::Remember(const QByteArray& key) {
    const int64_t now = clock_();
    if (remembered_.size() >= kMaxRemembered && !remembered_.count(key)) {
        // Full: the expired go, and if none has, the one verified longest ago.
        std::erase_if(remembered_, [&](const auto& e) { return now - e.second >= kRememberMs; });
        if (remembered_.size() >= kMaxRemembered)
            remembered_.erase(std::min_element(remembered_.begin(), remembered_.end(),
                                               [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    remembered_[key] = now;
}

}  // namespace nut
