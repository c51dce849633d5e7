// The real band form for benchmarks, away from the user's own settings: a
// temporary registry file whose "DLL Location" names a temporary storage
// folder, the simulated mixer, no remote control. The folders live as long
// as the object; the form is made by Make() and is the caller's.
//
// Thread: main thread, with a QApplication.
#pragma once

#include "mp3_fixtures.h"

#include "platform/mixer/mixer_device.h"
#include "platform/registry/registry.h"
#include "player/band_form.h"

#include <filesystem>
#include <memory>

namespace pelu::bench {

class BenchBandForm {
public:
    BenchBandForm()
    {
        std::filesystem::create_directories(dir_.path() / "store");
        registry_ = std::make_shared<platform::registry::Store>(
            QString::fromStdString((dir_.path() / "registry.sqlite").string()));
        registry_->set_value(registry_->create_key(platform::registry::Hive::CurrentUser, "Software\\PELU\\XPD"),
                             platform::registry::Value::string(
                                 "DLL Location", QString::fromStdString((dir_.path() / "store").string()) + '/'));
    }

    const pelu::test::TempDir& dir() const { return dir_; }

    std::unique_ptr<player::TBandForm> Make()
    {
        player::BandServices services;
        services.registry = registry_;
        services.mixer = platform::mixer::make_sim_mixer();
        services.export_mpris = false;
        return std::make_unique<player::TBandForm>(nullptr, services);
    }

private:
    pelu::test::TempDir dir_;
    std::shared_ptr<platform::registry::Store> registry_;
};

} // namespace pelu::bench
