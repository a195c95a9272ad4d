#pragma once
// The listing tree: files, directories and symbolic links named within their parent directory.
//
// Ownership: `parent` is weak, a directory's contents and a link's target are strong, so a tree is
// kept by its root (a client's baseDirItem) and freed when the root goes. A component whose parent
// is gone keeps its path. Mutable fields are guarded per component: clients fill contents from
// their queues while the host reads them and changes flags.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Ostrane {

enum class OstraneFileType { file, directory, symbolicLink };

class OstraneDirectory;

class OstranePathComponent {
public:
    /// Display options; only foldersOnTop changes the order of a directory's contents.
    class Flag {
    public:
        using RawValue = std::intptr_t;
        static const Flag sorted;
        static const Flag showHidden;
        static const Flag foldersOnTop;

        constexpr Flag() = default;
        constexpr explicit Flag(RawValue rawValue) : raw_(rawValue) {}
        constexpr Flag(std::initializer_list<Flag> members) {
            for (auto m : members) raw_ |= m.raw_;
        }
        constexpr RawValue rawValue() const { return raw_; }

        constexpr bool isEmpty() const { return raw_ == 0; }
        constexpr bool contains(Flag member) const { return (raw_ & member.raw_) == member.raw_; }
        constexpr Flag union_(Flag other) const { return Flag(raw_ | other.raw_); }
        constexpr Flag intersection(Flag other) const { return Flag(raw_ & other.raw_); }
        constexpr Flag symmetricDifference(Flag other) const { return Flag(raw_ ^ other.raw_); }
        constexpr Flag subtracting(Flag other) const { return Flag(raw_ & ~other.raw_); }
        constexpr bool isSubset(Flag of) const { return (raw_ & ~of.raw_) == 0; }
        constexpr bool isSuperset(Flag of) const { return of.isSubset(*this); }
        constexpr bool isDisjoint(Flag with) const { return (raw_ & with.raw_) == 0; }
        constexpr bool isStrictSubset(Flag of) const { return isSubset(of) && raw_ != of.raw_; }
        constexpr bool isStrictSuperset(Flag of) const { return isSuperset(of) && raw_ != of.raw_; }

        /// Whether `member` was newly inserted, and the member as it now stands in the set.
        constexpr std::pair<bool, Flag> insert(Flag member) {
            if (contains(member)) return {false, member};
            raw_ |= member.raw_;
            return {true, member};
        }
        /// The removed members, or no value when none of them was in the set.
        constexpr std::optional<Flag> remove(Flag member) {
            Flag had = intersection(member);
            raw_ &= ~member.raw_;
            if (had.isEmpty()) return std::nullopt;
            return had;
        }
        /// Inserts `member`; gives the members of it that were already present, if any.
        constexpr std::optional<Flag> update(Flag member) {
            Flag had = intersection(member);
            raw_ |= member.raw_;
            if (had.isEmpty()) return std::nullopt;
            return had;
        }
        constexpr void formUnion(Flag other) { raw_ |= other.raw_; }
        constexpr void formIntersection(Flag other) { raw_ &= other.raw_; }
        constexpr void formSymmetricDifference(Flag other) { raw_ ^= other.raw_; }
        constexpr void subtract(Flag other) { raw_ &= ~other.raw_; }

        friend constexpr bool operator==(Flag a, Flag b) { return a.raw_ == b.raw_; }
        friend constexpr Flag operator|(Flag a, Flag b) { return a.union_(b); }
        friend constexpr Flag operator&(Flag a, Flag b) { return a.intersection(b); }
        friend constexpr Flag operator^(Flag a, Flag b) { return a.symmetricDifference(b); }
        friend constexpr Flag operator-(Flag a, Flag b) { return a.subtracting(b); }

    private:
        RawValue raw_ = 0;
    };

    using Contents = std::vector<std::shared_ptr<OstranePathComponent>>;

    OstranePathComponent(const OstranePathComponent&) = delete;
    OstranePathComponent& operator=(const OstranePathComponent&) = delete;
    virtual ~OstranePathComponent() = default;

    OstraneFileType type() const { return type_; }
    const std::string& name() const { return name_; }
    /// The directory that listed this component; none for a root (or once that directory is freed).
    std::shared_ptr<OstraneDirectory> parent() const { return parent_.lock(); }

    Flag flags() const;
    /// Stores `flags`; when the value changed, flagsDidChange() runs.
    void setFlags(Flag flags);

    /// The parent's path joined with `name` by exactly one "/"; a root's path is its name. Names and
    /// parents never change, so it is worked out once, and stays right after the parent is freed.
    const std::string& path() const { return path_; }
    /// A directory, or a symbolic link whose target is a directory.
    bool isDirectory() const;
    /// A directory's listed contents, or those of the directory a link points at; otherwise none.
    virtual std::optional<Contents> contents() const;
    virtual std::string description() const;

    /// By name: canonically equivalent names (NFC) compare equal, the rest by Unicode scalar values.
    friend bool operator<(const OstranePathComponent& a, const OstranePathComponent& b) {
        return a.sortKey_ < b.sortKey_;
    }
    friend bool operator==(const OstranePathComponent& a, const OstranePathComponent& b) {
        return a.sortKey_ == b.sortKey_;
    }

protected:
    OstranePathComponent(std::string name, const std::shared_ptr<OstraneDirectory>& parent,
                         OstraneFileType type);
    virtual void flagsDidChange() {}

    mutable std::mutex mutex_;  // guards flags_ and the subclasses' mutable fields
    Flag flagsLocked() const { return flags_; }  // with mutex_ held

private:
    const OstraneFileType type_;
    const std::string name_;
    const std::string sortKey_;
    const std::weak_ptr<OstraneDirectory> parent_;
    const std::string path_;
    Flag flags_;
};

inline constexpr OstranePathComponent::Flag OstranePathComponent::Flag::sorted{1};
inline constexpr OstranePathComponent::Flag OstranePathComponent::Flag::showHidden{2};
inline constexpr OstranePathComponent::Flag OstranePathComponent::Flag::foldersOnTop{4};

/// Sorts components by name (the tree's `<`), keeping the order of equal names.
void sortByName(OstranePathComponent::Contents& components);

class OstraneFile final : public OstranePathComponent {
public:
    OstraneFile(std::string name, const std::shared_ptr<OstraneDirectory>& parent, std::int64_t size);
    static std::shared_ptr<OstraneFile> make(std::string name, const std::shared_ptr<OstraneDirectory>& parent,
                                             std::int64_t size) {
        return std::make_shared<OstraneFile>(std::move(name), parent, size);
    }

    std::int64_t size() const;
    void setSize(std::int64_t size);
    /// "name size", the size in decimal digits.
    std::string description() const override;

private:
    std::int64_t size_;
};

class OstraneDirectory final : public OstranePathComponent {
public:
    OstraneDirectory(std::string name, const std::shared_ptr<OstraneDirectory>& parent);
    static std::shared_ptr<OstraneDirectory> make(std::string name,
                                                  const std::shared_ptr<OstraneDirectory>& parent = nullptr) {
        return std::make_shared<OstraneDirectory>(std::move(name), parent);
    }

    /// No value: not listed yet; an empty list: listed and empty.
    std::optional<Contents> contents() const override;
    /// Stores the list as it is; it is re-ordered only when the flags change.
    void setContents(std::optional<Contents> contents);

protected:
    void flagsDidChange() override;

private:
    std::optional<Contents> contents_;
};

class OstraneSymbolicLink final : public OstranePathComponent {
public:
    OstraneSymbolicLink(std::string name, const std::shared_ptr<OstraneDirectory>& parent);
    static std::shared_ptr<OstraneSymbolicLink> make(std::string name,
                                                     const std::shared_ptr<OstraneDirectory>& parent) {
        return std::make_shared<OstraneSymbolicLink>(std::move(name), parent);
    }

    std::shared_ptr<OstranePathComponent> target() const;
    void setTarget(std::shared_ptr<OstranePathComponent> target);
    std::optional<Contents> contents() const override;

private:
    std::shared_ptr<OstranePathComponent> target_;
};

}  // namespace Ostrane
