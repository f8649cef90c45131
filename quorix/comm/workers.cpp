#include "comm/workers.h"

#include <pthread.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace workers {
namespace {

struct Record {
    const void* owner;
    std::uint64_t serial;
    std::thread thread;
    bool done = false;
};

struct Registry {
    std::mutex mu;
    std::condition_variable ended;
    std::list<Record> records;
    std::uint64_t lastSerial = 0;
};

// Made before the module's entry table (which joins every thread when it goes), so it outlives it.
Registry& Reg() {
    static Registry reg;
    return reg;
}

thread_local bool tOurs = false;

// Takes the records of ended threads out of the list (not the calling thread's own), to be
// joined outside the lock. An ended thread has nothing left to do but return, so joining it
// never waits for work, wherever it is called.
std::vector<std::thread> TakeEnded(Registry& reg) {
    std::vector<std::thread> ended;
    for (auto it = reg.records.begin(); it != reg.records.end();) {
        if (it->done && it->thread.get_id() != std::this_thread::get_id()) {
            ended.push_back(std::move(it->thread));
            it = reg.records.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

void JoinAll(std::vector<std::thread>& threads) {
    for (auto& t : threads)
        if (t.joinable()) t.join();
}

}  // namespace

std::uint64_t Spawn(const void* owner, const char* name, std::function<void()> body) {
    Registry& reg = Reg();
    std::vector<std::thread> ended;
    std::uint64_t serial;
    {
        std::lock_guard<std::mutex> lock(reg.mu);
        ended = TakeEnded(reg);  // restarts from callbacks alone must not pile up threads
        serial = ++reg.lastSerial;
        Record& r = reg.records.emplace_back(Record{owner, serial, {}});
        r.thread = std::thread([&reg, &r, body = std::move(body)]() mutable {
            tOurs = true;
            body();
            // What the body holds (an engine, perhaps the last reference to it) goes before the
            // thread counts as ended: a joiner may unload the module right after.
            body = nullptr;
            std::lock_guard<std::mutex> lock(reg.mu);
            r.done = true;
            reg.ended.notify_all();
        });
        pthread_setname_np(r.thread.native_handle(), name);  // for profilers and benches
    }
    JoinAll(ended);
    return serial;
}

std::uint64_t LastSerial() {
    std::lock_guard<std::mutex> lock(Reg().mu);
    return Reg().lastSerial;
}

bool OnModuleThread() { return tOurs; }

void Join(const void* owner, std::uint64_t upTo) {
    if (tOurs) return;
    Registry& reg = Reg();
    std::vector<std::thread> ended;
    {
        std::unique_lock<std::mutex> lock(reg.mu);
        reg.ended.wait(lock, [&] {
            for (const Record& r : reg.records)
                if (!r.done && r.serial <= upTo && (!owner || r.owner == owner)) return false;
            return true;
        });
        ended = TakeEnded(reg);
    }
    JoinAll(ended);
}

}  // namespace workers
