#include "scripted_storm.h"

#include <algorithm>
#include <sstream>
#include <string>

void scripted_storm::play(std::vector<double> distances_km) {
    const std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(distances_km);
    calls_.clear();
}

std::size_t scripted_storm::lightning_calls() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
}

double scripted_storm::gap_s(std::size_t from) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::duration<double>(calls_.at(from + 1) - calls_.at(from)).count();
}

fake_storm_reply scripted_storm::answer(const fake_storm_request& request) {
    const std::string operation = soap_operation(request);
    fake_storm_reply reply;
    if (operation == "miejscowosc") {
        std::string y = "0";
        std::string x = "0";
        if (request.body.find(">Kraków<") != std::string::npos) {
            y = "50.0614";
            x = "19.9366";
        } else if (request.body.find(">Tarnów<") != std::string::npos) {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (++late_town_lookups_ <= 3) {
                return soap_fault_reply("SOAP-ENV:Server", "Usługa chwilowo niedostępna");
            }
            y = "50.0121";
            x = "20.9858";
        }
        reply.body =
            soap_reply(operation, soap_return("ns2:MyComplexTypeMiejscowosc",
                                              "<y xsi:type=\"xsd:float\">" + y +
                                                  "</y><x xsi:type=\"xsd:float\">" + x + "</x>"));
        return reply;
    }
    if (operation == "ostrzezenia_pogodowe") {
        std::string levels;
        for (const char* name : {"mroz", "upal", "wiatr", "opad", "burza", "traba"}) {
            levels += "<" + std::string(name) + " xsi:type=\"xsd:int\">0</" + name + ">";
        }
        reply.body = soap_reply(operation, soap_return("ns2:MyComplexTypeOstrzezenia", levels));
        return reply;
    }
    double km = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            km = script_[std::min(calls_.size(), script_.size() - 1)];
        }
        calls_.push_back(std::chrono::steady_clock::now());
    }
    if (km < 0) {
        reply = soap_fault_reply("SOAP-ENV:Server", "Usługa chwilowo niedostępna");
        reply.delay_ms = km < -1 ? 20000 : 0;
        return reply;
    }
    std::ostringstream distance;
    distance << km;
    reply.body = soap_reply(operation, km > 0 ? burza_return(5, distance.str(), "W", 10)
                                              : burza_return(0, "0", "", 10));
    return reply;
}

fake_storm_service_handle start_scripted_storm_service(const std::string& cert_file,
                                                       const std::string& key_file, int port,
                                                       scripted_storm& script) {
    fake_storm_service_handle service = start_fake_storm_service(cert_file, key_file, port);
    if (service) {
        set_fake_storm_recording(*service, false);
        set_fake_storm_handler(*service, [&script](const fake_storm_request& request) {
            return script.answer(request);
        });
    }
    return service;
}
