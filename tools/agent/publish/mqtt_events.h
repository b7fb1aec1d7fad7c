// The events topics: what the broker is owed of the event journal. Only a
// position in the journal is held, never the events themselves, so memory
// stays flat however long the broker is away; a broker that returns gets the
// events it missed, in order, up to a bound.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/agent/events/journal.h"

namespace quillark_agent {

class EventRelay {
public:
    // Events sent to a broker that returns; those before them are told by
    // one events_dropped.
    static constexpr std::uint64_t kReplay = 1000;
    // Hands one message to the broker; false when it must wait.
    using Hand = std::function<bool(const std::string& topic, const std::string& payload)>;

    EventRelay(std::string prefix, std::string client_id);
    // Sends the journal's events after `after` from now on.
    void follow(EventFeed feed, std::uint64_t after);
    // Sends nothing more (a client that takes over goes on from the
    // position returned).
    std::uint64_t retire();
    // The broker (re)accepted the connection: it is owed at most kReplay
    // of the events it has not been handed.
    void reconnected();
    // Hands over what it is owed, oldest first, at most `room` messages.
    void flush(std::size_t room, const Hand& hand);

    // <prefix>/<unit>/events, or the agent's own for an event without a unit.
    std::string topic(const Event& event) const;
    // One event as the API gives it, on one line.
    static std::string payload(const Event& event);

private:
    // Those up to `seq` are not sent, and are told as one events_dropped.
    void skip_to(std::uint64_t seq);

    const std::string prefix_;
    const std::string agent_topic_;
    EventFeed feed_;
    std::uint64_t handed_ = 0;  // the last seq handed to the broker, or skipped
    bool retired_ = false;
};

}  // namespace quillark_agent
