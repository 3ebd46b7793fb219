#include "boot/InstallerTable.h"

#include <array>

#include "boot/bluetooth/BluetoothInstaller.h"
#include "boot/installers/AppInstaller.h"
#include "boot/installers/BeginInstaller.h"
#include "boot/installers/BootStrapInstaller.h"
#include "boot/installers/ConfigurationInstaller.h"
#include "boot/installers/CustomInstaller.h"
#include "boot/installers/EndInstaller.h"
#include "boot/installers/IplInstaller.h"
#include "boot/installers/MediaInstaller.h"
#include "boot/installers/NNGMapsInstaller.h"
#include "boot/installers/OSInstaller.h"
#include "boot/installers/PicInstaller.h"
#include "boot/installers/TouchInstaller.h"

namespace Boot {
namespace {

template <typename Installer>
std::unique_ptr<ComponentInstallerBase> make() {
    return std::make_unique<Installer>();
}

namespace Type = ComponentType;

const std::array<InstallerTable::Row, 15> rows{{
    {Type::preInstallCheck, make<BeginInstaller>, false},
    {Type::bootstrap, make<BootStrapInstaller>, false},
    {Type::operatingSystem, make<OSInstaller>, false},
    {Type::application, make<AppInstaller>, false},
    {Type::configuration, make<ConfigurationInstaller>, false},
    {Type::bluetoothFirmware, make<BluetoothInstaller>, false},
    {Type::ioMicrocontrollerFirmware, make<PicInstaller>, false},
    {Type::initialProgramLoader, make<IplInstaller>, true},
    {Type::touchFirmware, make<TouchInstaller>, false},
    {Type::mediaImage, make<MediaInstaller>, false},
    {Type::mapsEngine, make<NNGMapsInstaller>, false},
    {Type::postInstallStep, make<EndInstaller>, false},
    {Type::acceptedWithoutInstaller13, nullptr, false},
    {Type::acceptedWithoutInstaller14, nullptr, false},
    {Type::customFiles, make<CustomInstaller>, false},
}};

}  // namespace

const InstallerTable::Row* InstallerTable::find(std::uint32_t type) {
    for (const Row& row : rows) {
        if (row.type == type) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace Boot
