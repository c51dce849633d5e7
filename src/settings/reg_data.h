// The registry backend of the settings storage: copies the registry subtree
// RootKey\RootPath into the storage and writes the storage back over it.
//
// A save replaces the whole subtree in one registry transaction, so a crash or
// a kill at any moment leaves the old subtree or the new one, never a mix. A
// save that still fails after waiting for a busy store is kept beside the store
// ("<store>.unsaved", a store of its own) and goes into the store at the next
// load, so the last save before the program ends is not lost either.
//
// Thread: main thread only.
#pragma once

#include "platform/registry/registry.h"
#include "settings/storage.h"

#include <memory>

namespace pelu {

class TrsRegData : public TrsStorageData {
    Q_OBJECT
    Q_PROPERTY(RootKeys RootKey READ RootKey WRITE SetRootKey)
    Q_PROPERTY(QString RootPath READ RootPath WRITE SetRootPath)
public:
    enum RootKeys {
        rkClassesRoot = 0,
        rkCurrentUser = 1,
        rkLocalMachine = 2,
        rkUsers = 3,
        rkPerformanceData = 4,
        rkCurrentConfig = 5,
        rkDynData = 6,
    };
    Q_ENUM(RootKeys)

    explicit TrsRegData(QObject* parent = nullptr) : TrsStorageData(parent) {}
    ~TrsRegData() override { SaveStorageBeforeDestruction(); }

    RootKeys RootKey() const { return root_key_; }
    void SetRootKey(RootKeys key) { root_key_ = key; }
    QString RootPath() const { return root_path_; }
    // Leading and trailing "\" and "/" are removed, so "\" alone leaves the
    // path empty, and an empty path reads and writes nothing: never the
    // whole hive, which holds other programs' settings.
    void SetRootPath(const QString& path);

    // The store to use; by default the per-user store, opened at the first transfer.
    void SetRegistry(std::shared_ptr<platform::registry::Store> store) { store_ = std::move(store); }
    std::shared_ptr<platform::registry::Store> Registry();

    // The longest key or value name the load follows; a longer one ends the
    // enumeration of its key.
    static constexpr int kMaxNameLength = 259;

protected:
    void DoLoad() override;
    void DoSave() override;

private:
    std::optional<platform::registry::Hive> HiveOf() const;
    void LoadKey(platform::registry::Store& store, platform::registry::KeyId key, int section_id);
    void SaveSection(platform::registry::Store& store, platform::registry::KeyId key, int section_id);
    // Writes the storage's subtree into `store` in one transaction.
    void SaveSubtree(platform::registry::Store& store, platform::registry::Hive hive, int root);
    // The side store of saves that failed; created only when `create`.
    std::unique_ptr<platform::registry::Store> UnsavedStore(bool create);
    void KeepUnsaved(platform::registry::Hive hive, int root);
    // Moves a kept subtree into `store`; false when one is kept and could not be moved.
    bool MoveUnsavedInto(platform::registry::Store& store, platform::registry::Hive hive);
    // Forgets the kept subtree, and the side store once it keeps nothing.
    void DropUnsaved(std::unique_ptr<platform::registry::Store> kept, platform::registry::Hive hive);

    RootKeys root_key_ = rkLocalMachine;
    QString root_path_;
    std::shared_ptr<platform::registry::Store> store_;
};

// The registry form of a storage value and back (the 10-byte binaries of the
// fixed-size types). A value that has no registry form (empty) gives nullopt.
std::optional<platform::registry::Value> TrsToRegistryValue(const QString& name, const TrsValue& value);
std::optional<TrsValue> TrsFromRegistryValue(const platform::registry::Value& value);

} // namespace pelu
