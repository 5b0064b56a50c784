// The CLIPBOARD pasteboard: the owner thread, reads, and the hand-off at the end.
#include "platform/linux/x11_pasteboard.hpp"

#include <sys/eventfd.h>

#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/linux/x11_selection.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/unique_fd.hpp"

namespace kest::platform::linux_desktop {
namespace {

using Clock = std::chrono::steady_clock;

// A command waits this long for the owner thread (which only makes round trips
// to the X server) before the request thread gives up on it.
constexpr auto COMMAND_LIMIT = std::chrono::seconds(5);
// Transfers still running when the owner stops get this long to finish.
constexpr auto DRAIN_LIMIT = std::chrono::seconds(1);

}  // namespace

class X11Pasteboard::OwnerThread {
public:
    // The text this process holds, confirmed with the server, as a keeper needs it.
    struct Held {
        std::shared_ptr<const std::string> text;
        Time ownedSince = CurrentTime;
        std::string displayName;
    };

    static std::unique_ptr<OwnerThread> start() {
        auto connection = X11Connection::open();
        if (!connection) return nullptr;
        auto owner = SelectionOwner::create(*connection);
        UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!owner || !wake) return nullptr;
        try {
            return std::unique_ptr<OwnerThread>(new OwnerThread(std::move(connection), std::move(owner), std::move(wake)));
        } catch (const std::system_error&) {
            return nullptr;  // no thread to be had: the text cannot be offered
        }
    }

    ~OwnerThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wakeUp();
        thread_.join();
    }
    OwnerThread(const OwnerThread&) = delete;
    OwnerThread& operator=(const OwnerThread&) = delete;

    Window window() const { return window_; }

    bool take(std::shared_ptr<const std::string> text) {
        return submit(Command::Kind::take, std::move(text)).has_value();
    }
    std::optional<Held> confirmHeldText() { return submit(Command::Kind::confirm, nullptr); }

    std::shared_ptr<const std::string> servedText() const {
        std::lock_guard lock(mutex_);
        return served_;
    }

private:
    struct Command {
        enum class Kind { take, confirm } kind;
        std::shared_ptr<const std::string> text;
        std::promise<std::optional<Held>> done;
    };

    OwnerThread(std::unique_ptr<X11Connection> connection, std::unique_ptr<SelectionOwner> owner, UniqueFd wake)
        : connection_(std::move(connection)),
          owner_(std::move(owner)),
          window_(owner_->window()),
          displayName_(DisplayString(connection_->display())),
          wake_(std::move(wake)),
          thread_([this] { run(); }) {}

    std::optional<Held> submit(Command::Kind kind, std::shared_ptr<const std::string> text) {
        std::future<std::optional<Held>> result;
        {
            std::lock_guard lock(mutex_);
            Command& command = commands_.emplace_back(Command{kind, std::move(text), {}});
            result = command.done.get_future();
        }
        wakeUp();
        if (result.wait_for(COMMAND_LIMIT) != std::future_status::ready) return std::nullopt;
        return result.get();
    }

    void wakeUp() {
        const std::uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof one);
    }

    void execute(Command& command) {
        std::optional<Held> outcome;
        if (command.kind == Command::Kind::take) {
            if (owner_->take(std::move(command.text))) outcome = Held{};
        } else if (owner_->confirmOwnership() && owner_->text()) {
            outcome = Held{owner_->text(), owner_->ownedSince(), displayName_};
        }
        // Readers must find the new text as soon as the request thread goes on.
        publish();
        command.done.set_value(std::move(outcome));
    }

    void publish() {
        auto text = owner_->text();
        std::lock_guard lock(mutex_);
        served_ = std::move(text);
    }

    // Serves until stopped, then lets running transfers finish (bounded).
    void run() {
        std::optional<Clock::time_point> drainUntil;
        for (;;) {
            std::deque<Command> batch;
            {
                std::lock_guard lock(mutex_);
                batch.swap(commands_);
                if (stopping_ && !drainUntil) drainUntil = Clock::now() + DRAIN_LIMIT;
            }
            for (auto& command : batch) execute(command);
            auto deadline = handleSelectionEvents(*connection_, *owner_);
            // A lost selection drops the text here, not at the next wake-up.
            publish();
            if (drainUntil) {
                if (!owner_->transferring() || Clock::now() >= *drainUntil) return;
                if (!deadline || *drainUntil < *deadline) deadline = drainUntil;
            }
            awaitSelectionEvents(*connection_, wake_.get(), deadline);
        }
    }

    // Used by the owner thread only, once it runs.
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<SelectionOwner> owner_;
    // Fixed before the thread starts.
    const Window window_;
    const std::string displayName_;
    UniqueFd wake_;

    mutable std::mutex mutex_;
    std::deque<Command> commands_;               // guarded by mutex_
    bool stopping_ = false;                      // guarded by mutex_
    std::shared_ptr<const std::string> served_;  // guarded by mutex_

    std::thread thread_;  // last: starts once everything above is built
};

X11Pasteboard::X11Pasteboard(std::string keeperProgram) : keeperProgram_(std::move(keeperProgram)) {}

X11Pasteboard::~X11Pasteboard() {
    if (!owner_ || keeperProgram_.empty()) return;
    // Only a text this process still owns is handed off; the owner thread
    // serves it until the keeper has taken the selection.
    if (auto held = owner_->confirmHeldText()) {
        handOffToKeeper(keeperProgram_, held->displayName, held->ownedSince, *held->text);
    }
}

bool X11Pasteboard::startOwner() {
    if (!owner_) owner_ = OwnerThread::start();
    return owner_ != nullptr;
}

std::optional<std::string> X11Pasteboard::readText() {
    if (!reader_) reader_ = SelectionReader::open();
    if (!reader_) return std::nullopt;
    const Window owner = reader_->owner();
    if (owner == None) return std::nullopt;
    if (owner_ && owner == owner_->window()) {
        auto served = owner_->servedText();
        if (!served) return std::nullopt;
        return *served;
    }
    auto text = reader_->readText();
    if (reader_->broken()) reader_.reset();
    if (!text) return std::nullopt;
    return std::move(*text).take();
}

void X11Pasteboard::clear() {
    if (startOwner()) owner_->take(nullptr);
}

bool X11Pasteboard::writeText(std::string text) {
    return startOwner() && owner_->take(std::make_shared<const std::string>(std::move(text)));
}

}  // namespace kest::platform::linux_desktop
