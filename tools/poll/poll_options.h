// quillark-poll's command line.
#pragma once

#include <string>

#include "hostkit/common/cli.h"
#include "tools/poll/poller.h"

namespace quillark_poll {

class PollCommandLine : public quillark_tools::CommandLine<PollOptions> {
public:
    PollCommandLine();

private:
    void reset() override { tcp_.clear(); }
    std::string finish(PollOptions& o) override;

    std::string tcp_;
};

}  // namespace quillark_poll
