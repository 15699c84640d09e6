// The storm service double scripted for whole watches of Kraków: Kraków is known, and so is
// Tarnów, but only from its fourth lookup on (a place found at a later try); any other town is
// not. No warnings are in force, and each lightning request is answered with the next
// distance of the script, the last one repeated.
#pragma once

#include "fake_storm_service.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

class scripted_storm {
  public:
    // A new script, the lightning requests counted anew. A distance in km: 0 (or an empty
    // script) for no strikes, above 0 five strikes that far to the W, below 0 a SOAP Fault, and
    // below -1 a Fault that comes only after 20 s (a silent service).
    void play(std::vector<double> distances_km);
    // The lightning requests received since the script began.
    std::size_t lightning_calls() const;
    // Seconds between lightning request `from` (from 0) and the next one.
    double gap_s(std::size_t from) const;
    fake_storm_reply answer(const fake_storm_request& request);

  private:
    mutable std::mutex mutex_;
    std::vector<double> script_;
    std::vector<std::chrono::steady_clock::time_point> calls_;
    int late_town_lookups_ = 0;
};

// Starts the storm double on 127.0.0.1:`port` answering from `script`, which must outlive it;
// requests are not recorded. Null as start_fake_storm_service gives it.
fake_storm_service_handle start_scripted_storm_service(const std::string& cert_file,
                                                       const std::string& key_file, int port,
                                                       scripted_storm& script);
