// One listener of the simulator, whatever protocol it speaks. main() starts
// every service, waits for SIGINT or SIGTERM, then stops them all alike:
// stop accepting, give running requests a moment, end the rest at once.
// Every service shares the store and answers requests through the same
// CORAPI layer (sim_corapi.h).
#pragma once

#include <cstddef>
#include <string>

namespace sim
{

class service
{
  public:
    virtual ~service() = default;

    // Bind and begin serving on threads of its own. false with the reason
    // in error.
    virtual bool start(std::string &error) = 0;

    // Where it listens, as "127.0.0.1:8580", "[::1]:8580" or a socket path.
    virtual std::string endpoint() const = 0;

    // Accept no more connections; those running go on.
    virtual void stop_accepting() = 0;

    // Connections being served now.
    virtual size_t running() const = 0;

    // End every running connection at once and wait until all have ended.
    virtual void stop() = 0;
};

} // namespace sim
