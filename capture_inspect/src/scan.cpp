#include "scan.h"

#include <openssl/evp.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "capture_format.h"
#include "fit.h"
#include "hex.h"

namespace {

constexpr std::size_t kBufferFrames = kChunkBefore + kChunkFrames + kChunkAfter;
constexpr std::size_t kCarryFrames = kChunkBefore + kChunkAfter + 1;  // and a frame cut short

// A chunk with the frames around it that its sums look at.
struct Chunk {
    std::unique_ptr<std::int16_t[]> frames{new std::int16_t[kFrameValues * kBufferFrames]};
    std::uint64_t index = 0;
    std::uint64_t first = 0;  // the chunk's first frame in the capture
    std::size_t before = 0, count = 0, after = 0;
    std::size_t fresh_from = 0, fresh_bytes = 0;  // read from the file into it, for the hash
    int users = 0;  // the analysis and the hash, until each is done with it
};

// Every thread reads the next chunk in turn, then sums it; the sums join in
// chunk order. The hash, when asked, runs on a thread of its own, in order.
class Scan {
public:
    Scan(int fd, unsigned jobs, bool hash, bool keep)
        : fd_(fd), jobs_(std::max(1u, jobs)), window_(2 * jobs_ + 1) {
        if (keep) result_.kept.assign(kFrameValues * kFitHeadFrames, 0);
        if (hash) {
            hash_ = EVP_MD_CTX_new();
            EVP_DigestInit_ex(hash_, EVP_sha512(), nullptr);
        }
    }
    ~Scan() { EVP_MD_CTX_free(hash_); }

    ScanResult run() {
        std::vector<std::thread> threads;
        try {
            if (hash_) threads.emplace_back([this] { digest(); });
        } catch (const std::system_error& e) {
            result_.error = std::string("cannot start a thread: ") + e.code().message();
            return std::move(result_);
        }
        // The figures do not depend on the threads: the ones the system gives
        // do the work of those it refuses.
        try {
            for (unsigned i = 1; i < jobs_; ++i) threads.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
        }
        work();
        {
            std::lock_guard<std::mutex> lock(m_);
            reading_done_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads) t.join();
        result_.partial_frame = partial_ != 0;
        if (!result_.kept.empty()) {
            result_.kept.resize(kFrameValues * std::min<std::uint64_t>(first_, kFitHeadFrames));
        }
        if (hash_ && result_.error.empty()) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(hash_, digest, &length);
            result_.sha512 = hex_of(digest, length);
        }
        return std::move(result_);
    }

private:
    void work() {
        ChunkAnalyzer analyzer;
        std::unique_ptr<CaptureSums> sums;
        for (;;) {
            Chunk* c = take_free();
            if (!read_next(*c)) {
                std::lock_guard<std::mutex> lock(m_);
                free_.emplace_back(c);
                break;
            }
            keep_head(*c);
            if (c->count > 0) {
                if (!sums) sums = take_sums();
                analyzer.sum(c->frames.get() + kFrameValues * c->before, c->first, c->count,
                             c->first + c->count + c->after, *sums);
            }
            {
                std::lock_guard<std::mutex> lock(m_);
                done_[c->index] = std::move(sums);  // none for a chunk without frames
                join_ready();
                release(c);
            }
            changed_.notify_all();
        }
    }

    // Copies the chunk's frames among the first ones into those kept: each
    // thread its own chunk's, so no lock.
    void keep_head(const Chunk& c) {
        if (result_.kept.empty() || c.first >= kFitHeadFrames) return;
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(c.count, kFitHeadFrames - c.first));
        std::memcpy(result_.kept.data() + kFrameValues * c.first,
                    c.frames.get() + kFrameValues * c.before, count * kFrameBytes);
    }

    // Reads the next chunk of the capture into `c`, the frames the one before
    // it ended with first; false at the end.
    bool read_next(Chunk& c) {
        std::lock_guard<std::mutex> reading(read_m_);
        if (finished_) return false;
        {
            // Read ahead of the sums joined so far by a bounded window only:
            // the sums waiting to be joined take memory too.
            std::unique_lock<std::mutex> lock(m_);
            changed_.wait(lock, [&] { return index_ < joined_ + window_; });
        }
        char* bytes = reinterpret_cast<char*>(c.frames.get());
        std::memcpy(bytes, carry_.data(), carried_ * kFrameBytes + partial_);
        std::size_t held = carried_ * kFrameBytes + partial_;
        // The chunk, the frames before it, and those its last segment reaches.
        const std::size_t capacity = (kept_before_ + kChunkFrames + kChunkAfter) * kFrameBytes;
        bool end = false;
        c.fresh_from = held;
        while (!end && held < capacity) {
            const ssize_t n = ::read(fd_, bytes + held, capacity - held);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                std::lock_guard<std::mutex> lock(m_);
                result_.error = std::strerror(errno);
                finished_ = true;
                return false;
            }
            end = n == 0;
            held += static_cast<std::size_t>(n);
        }
        c.fresh_bytes = held - c.fresh_from;
        result_.bytes += c.fresh_bytes;
        const std::size_t frames = held / kFrameBytes - kept_before_;
        partial_ = held % kFrameBytes;
        c.index = index_++;
        c.first = first_;
        c.before = kept_before_;
        c.count = std::min(frames, kChunkFrames);
        c.after = frames - c.count;
        // What the next chunk starts with: the frames its phase turns look back
        // on, those after this chunk, and a frame cut short at the end.
        kept_before_ = std::min<std::size_t>(c.before + c.count, kChunkBefore);
        carried_ = kept_before_ + c.after;
        const std::size_t from = (c.before + c.count - kept_before_) * kFrameBytes;
        std::memcpy(carry_.data(), bytes + from, carried_ * kFrameBytes + partial_);
        first_ += c.count;
        finished_ = c.count == 0 || (end && c.after == 0);
        {
            std::lock_guard<std::mutex> lock(m_);
            c.users = 1 + (hash_ != nullptr);
            if (hash_ != nullptr) to_hash_.push_back(&c);
        }
        if (hash_ != nullptr) changed_.notify_all();
        return true;
    }

    // A chunk to read into: one given back, or a new one while there are
    // fewer than the window holds.
    Chunk* take_free() {
        {
            std::unique_lock<std::mutex> lock(m_);
            changed_.wait(lock, [&] { return !free_.empty() || chunks_ < window_; });
            if (!free_.empty()) {
                Chunk* c = free_.back().release();
                free_.pop_back();
                return c;
            }
            ++chunks_;
        }
        // Its pages are touched here rather than while reading holds the
        // other threads back.
        auto c = std::make_unique<Chunk>();
        std::memset(c->frames.get(), 0, kFrameBytes * kBufferFrames);
        return c.release();
    }

    std::unique_ptr<CaptureSums> take_sums() {
        std::lock_guard<std::mutex> lock(m_);
        if (spare_.empty()) return std::make_unique<CaptureSums>();
        std::unique_ptr<CaptureSums> sums = std::move(spare_.back());
        spare_.pop_back();
        return sums;
    }

    // Gives a chunk back once its last user is done with it; the lock is held.
    void release(Chunk* c) {
        if (--c->users <= 0) free_.emplace_back(c);
    }

    // Joins the sums that are next in order; the lock is held.
    void join_ready() {
        for (auto it = done_.find(joined_); it != done_.end(); it = done_.find(joined_)) {
            if (it->second) {
                result_.sums.append(*it->second);
                spare_.push_back(std::move(it->second));
            }
            done_.erase(it);
            ++joined_;
        }
    }

    void digest() {
        for (;;) {
            Chunk* c;
            {
                std::unique_lock<std::mutex> lock(m_);
                changed_.wait(lock, [&] { return !to_hash_.empty() || reading_done_; });
                if (to_hash_.empty()) return;
                c = to_hash_.front();
                to_hash_.pop_front();
            }
            EVP_DigestUpdate(hash_, reinterpret_cast<const char*>(c->frames.get()) + c->fresh_from,
                             c->fresh_bytes);
            {
                std::lock_guard<std::mutex> lock(m_);
                release(c);
            }
            changed_.notify_all();
        }
    }

    const int fd_;
    const unsigned jobs_;
    const std::size_t window_;  // chunks read ahead of the last one joined, at most
    EVP_MD_CTX* hash_ = nullptr;

    // The reading, one thread at a time.
    std::mutex read_m_;
    std::vector<std::int16_t> carry_ = std::vector<std::int16_t>(kFrameValues * kCarryFrames);
    std::size_t carried_ = 0, kept_before_ = 0, partial_ = 0;
    std::uint64_t first_ = 0, index_ = 0;
    bool finished_ = false;

    // The rest, under m_.
    std::mutex m_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Chunk>> free_;
    std::size_t chunks_ = 0;  // made so far
    std::deque<Chunk*> to_hash_;
    std::map<std::uint64_t, std::unique_ptr<CaptureSums>> done_;
    std::vector<std::unique_ptr<CaptureSums>> spare_;
    std::uint64_t joined_ = 0;
    bool reading_done_ = false;
    ScanResult result_;
};

}  // namespace

unsigned available_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

ScanResult scan_capture(int fd, unsigned jobs, bool hash, bool keep) {
    return Scan(fd, jobs, hash, keep).run();
}
