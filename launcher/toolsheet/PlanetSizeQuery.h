#pragma once
// IPlanetSizeQuery: how the planet-data page asks the content side how much of one planet's
// data there is and how much of it is still to be downloaded. PlanetSizeQueryAdapter is the
// launcher's own: it forwards to a function installed at start-up.
//
// Contract:
// - Query may be called from the GUI thread. The callback is called exactly once, on any thread
//   (also at once, inside Query), with ok false when the size could not be determined; total and
//   needed are the planet's bytes and the bytes still missing. Nothing bounds needed by total.
// - PlanetSizeQueryAdapter: without a function every query answers failure at once. The function
//   is set before the adapter is used and not changed while a query may run; the adapter holds
//   no lock of its own.

#include <cstdint>
#include <functional>
#include <utility>

namespace Vel {

class IPlanetSizeQuery {
public:
    using Callback = std::function<void(bool ok, std::uint64_t total, std::uint64_t needed)>;

    virtual ~IPlanetSizeQuery() = default;
    virtual void Query(std::uint16_t planetId, Callback callback) = 0;
};

class PlanetSizeQueryAdapter final : public IPlanetSizeQuery {
public:
    using Function = std::function<void(std::uint16_t planetId, Callback callback)>;

    explicit PlanetSizeQueryAdapter(Function function = nullptr) : function_(std::move(function)) {}

    void SetFunction(Function function) { function_ = std::move(function); }

    void Query(std::uint16_t planetId, Callback callback) override {
        if (function_) function_(planetId, std::move(callback));
        else callback(false, 0, 0);
    }

private:
    Function function_;
};

}  // namespace Vel
