#include "tools/fcp-sim/SimHost.h"

#include "common/Value.h"
#include "tools/fcp-sim/Rational.h"
#include "tools/fcp-sim/SimBusClient.h"
#include "tools/fcp-sim/SimBusInterface.h"

#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrin::sim {

using panel::CMTime;

CMTime hostTime(const char* rational) {
    auto time = Rational::parse(rational ? rational : "");
    if (!time || time->den > std::numeric_limits<panel::CMTimeScale>::max())
        return panel::kCMTimeInvalid;
    return panel::CMTimeMake(time->num, static_cast<panel::CMTimeScale>(time->den));
}

namespace {

constexpr int kCallTimeoutMs = 5000;

// A snapshot of the editor's active sequence when it was asked for.
class SimSequence final : public panel::FCPXSequence {
  public:
    explicit SimSequence(const Value& json)
        : name_(stringFor(json, "name").value_or("")),
          duration_(hostTime(stringFor(json, "durationTime").value_or("").c_str())),
          frameDuration_(hostTime(stringFor(json, "frameDurationTime").value_or("").c_str())),
          start_(hostTime(stringFor(json, "startTime").value_or("").c_str())) {}
    std::string name() const override { return name_; }
    CMTime duration() const override { return duration_; }
    CMTime frameDuration() const override { return frameDuration_; }
    CMTime start() const override { return start_; }

  private:
    std::string name_;
    CMTime duration_, frameDuration_, start_;
};

class SimTimeline final : public panel::FCPXTimeline {
  public:
    CMTime playheadTime() override {
        auto result = call("GetPlayhead", nullptr, "(sd)");
        if (!result)
            return panel::kCMTimeZero;
        const gchar* time = nullptr;
        double seconds = 0;
        g_variant_get(result.reply.get(), "(&sd)", &time, &seconds);
        return hostTime(time);
    }

    void movePlayheadTo(CMTime time) override {
        double seconds = panel::CMTimeGetSeconds(time);
        call("SetPlayhead", g_variant_new("(d)", seconds), "(sd)");
    }

    std::shared_ptr<panel::FCPXSequence> activeSequence() override {
        auto result = call("GetSequence", nullptr, "(s)");
        if (!result)
            return nullptr;
        const gchar* text = nullptr;
        g_variant_get(result.reply.get(), "(&s)", &text);
        auto json = parseJSON(text);
        if (!json || !json->is_object())
            return nullptr;
        return std::make_shared<SimSequence>(*json);
    }

    void add(std::shared_ptr<panel::FCPXTimelineObserver> observer) override {
        if (!observer)
            return;
        std::lock_guard lock(mutex_);
        observers_.push_back(std::move(observer));
    }

    void remove(std::shared_ptr<panel::FCPXTimelineObserver> observer) override {
        std::lock_guard lock(mutex_);
        observers_.erase(std::remove(observers_.begin(), observers_.end(), observer),
                         observers_.end());
    }

    // Host thread: the bus connection is ready (or null when there is no bus).
    void attach(std::shared_ptr<SimBusClient> client) {
        std::lock_guard lock(mutex_);
        client_ = std::move(client);
    }
    void setEditorPresent(bool present) { editorPresent_ = present; }

    template <typename Member> void notify(Member member) {
        std::vector<std::shared_ptr<panel::FCPXTimelineObserver>> observers;
        {
            std::lock_guard lock(mutex_);
            observers = observers_;
        }
        // Outside the lock: an observer may call back into the timeline.
        for (const auto& observer : observers)
            ((*observer).*member)();
    }

  private:
    CallResult call(const char* method, GVariant* parameters, const char* replyType) {
        std::shared_ptr<SimBusClient> client;
        {
            std::lock_guard lock(mutex_);
            client = client_;
        }
        if (!client || !editorPresent_) {
            if (parameters)
                g_variant_unref(g_variant_ref_sink(parameters));
            return {};
        }
        return client->call(method, parameters, replyType, kCallTimeoutMs);
    }

    std::mutex mutex_;
    std::shared_ptr<SimBusClient> client_;
    std::atomic<bool> editorPresent_{false};
    std::vector<std::shared_ptr<panel::FCPXTimelineObserver>> observers_;
};

class SimHost final : public panel::FCPXHost {
  public:
    SimHost() : timeline_(std::make_shared<SimTimeline>()) {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        startup_.wait_for(lock, std::chrono::seconds(5), [this] { return known_; });
    }

    std::shared_ptr<panel::FCPXTimeline> timeline() override { return timeline_; }

  private:
    // The host's own thread: a main context of its own on which the bus's
    // signals and name-owner changes are delivered.
    void run() {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        std::string error;
        std::shared_ptr<SimBusClient> client = SimBusClient::connectToSessionBus(&error);
        timeline_->attach(client);
        if (!client) {
            g_warning("fcp_sim_host: %s; the host has no editor", error.c_str());
            markKnown();
        } else {
            GDBusConnection* connection = client->connection();
            g_dbus_connection_signal_subscribe(connection, kBusName, kInterface, nullptr,
                                               kObjectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                               &SimHost::onSignal, this, nullptr);
            g_bus_watch_name_on_connection(connection, kBusName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                           &SimHost::onAppeared, &SimHost::onVanished, this,
                                           nullptr);
        }
        for (;;)
            g_main_context_iteration(context, TRUE);
    }

    void markKnown() {
        std::lock_guard lock(mutex_);
        known_ = true;
        startup_.notify_all();
    }

    static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* signal, GVariant*, gpointer data) {
        auto* self = static_cast<SimHost*>(data);
        std::string name = signal;
        if (name == "PlayheadChanged")
            self->timeline_->notify(&panel::FCPXTimelineObserver::playheadTimeChanged);
        else if (name == "ActiveSequenceChanged")
            self->timeline_->notify(&panel::FCPXTimelineObserver::activeSequenceChanged);
    }

    static void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
        auto* self = static_cast<SimHost*>(data);
        self->present_ = true;
        self->timeline_->setEditorPresent(true);
        bool announce = self->known_;
        self->markKnown();
        // An editor that appears later brings an active sequence with it.
        if (announce)
            self->timeline_->notify(&panel::FCPXTimelineObserver::activeSequenceChanged);
    }

    static void onVanished(GDBusConnection*, const gchar*, gpointer data) {
        auto* self = static_cast<SimHost*>(data);
        bool wasPresent = self->present_;
        self->present_ = false;
        self->timeline_->setEditorPresent(false);
        self->markKnown();
        if (wasPresent)
            self->timeline_->notify(&panel::FCPXTimelineObserver::activeSequenceChanged);
    }

    std::shared_ptr<SimTimeline> timeline_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable startup_;
    bool known_ = false;
    bool present_ = false;
};

} // namespace
} // namespace tavrin::sim

extern "C" tavrin::panel::FCPXHost* ProExtensionHostSingleton(void) {
    // Made once and never destroyed: its thread serves the process until it ends.
    static auto* host = new tavrin::sim::SimHost();
    return host;
}
