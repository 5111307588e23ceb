// vesperod's web routing with whatever a client may send after the HTTP library has split the
// request: method, target (path and query), Cookie and X-CSRF-Token headers, and body, one per
// line, the body being the rest. Logins run their password check on a thread of their own; the
// harness waits for its verdict as the server's web thread would.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "daemon/web/web_api.h"

namespace {

class NoMainSide : public web::MainSide {
public:
    void RunCommand(web::CommandOrder, web::ReplyFn done) override { done(web::JsonError(503, "fuzz")); }
    void CommandStatus(std::string, web::ReplyFn done) override { done(web::JsonError(404, "fuzz")); }
    void Log(std::string) override {}
    void Note(std::string, std::string, std::string, std::string, std::string) override {}
};

std::mutex mutex;
std::condition_variable posted;
std::deque<std::function<void()>> tasks;

web::Api& TheApi() {
    static NoMainSide main;
    static web::Api api(
        &main,
        [](std::function<void()> task) {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back(std::move(task));
            posted.notify_one();
        },
        [] { return int64_t(1'800'000'000'000); });
    static bool ready = false;
    if (!ready) {
        ready = true;
        auto snapshot = std::make_shared<web::Snapshot>();
        web::UnitSnapshot unit;
        unit.name = "vespero0";
        unit.json = "{\"name\":\"vespero0\"}";
        unit.variables = {{"battery.voltage", "27.1"}, {"ups.status", "OL CHRG"}, {"device.model", "a \"b\"\n"}};
        snapshot->units.push_back(unit);
        api.SetSnapshot(snapshot);
        auto users = std::make_shared<nut::UsersFile>(nut::ParseUsersFile("[admin]\n password = pw\n instcmds = all\n"));
        api.SetUsers(users);
    }
    return api;
}

std::string_view Line(std::string_view* rest) {
    const size_t end = rest->find('\n');
    const std::string_view line = rest->substr(0, end);
    *rest = end == std::string_view::npos ? std::string_view() : rest->substr(end + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    web::Request request;
    request.method = Line(&rest);
    request.target = Line(&rest);
    request.cookie = Line(&rest);
    request.csrf = Line(&rest);
    request.body = rest;
    request.peer = "127.0.0.1";
    bool answered = false;
    TheApi().Handle(request, [&answered](web::Reply reply) {
        answered = true;
        // Whatever the route, the reply is complete: a status and a body of its own.
        if (reply.status < 100 || reply.status > 599) __builtin_trap();
    });
    while (!answered) {
        std::unique_lock<std::mutex> lock(mutex);
        posted.wait(lock, [] { return !tasks.empty(); });
        auto task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
    }
    return 0;
}
