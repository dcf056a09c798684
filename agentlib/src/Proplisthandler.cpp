#include "lvornutils/Proplisthandler.h"

#include "Internal.h"

namespace {

constexpr std::size_t kMaxPlistBytes = 64 << 20;

// What a caller learns of a value's type; nothing for types a settings file does not hold.
std::optional<Proplisthandler::Object::Kind> kindOf(plist_type type) {
    using Kind = Proplisthandler::Object::Kind;
    switch (type) {
        case PLIST_STRING:
            return Kind::String;
        case PLIST_BOOLEAN:
            return Kind::Boolean;
        case PLIST_UINT:
        case PLIST_REAL:
        case PLIST_UID:
            return Kind::Number;
        case PLIST_DATE:
            return Kind::Date;
        case PLIST_DATA:
            return Kind::Data;
        case PLIST_ARRAY:
            return Kind::Array;
        case PLIST_DICT:
            return Kind::Dictionary;
        default:
            return std::nullopt;
    }
}

}  // namespace

struct Proplisthandler::Impl {
    lvornutils::detail::PlistPtr root;
};

Proplisthandler::Proplisthandler() : impl_(std::make_unique<Impl>()) {}
Proplisthandler::~Proplisthandler() = default;

bool Proplisthandler::InitwithFile(const std::string& path) {
    impl_->root = lvornutils::detail::loadPlistFile(path, kMaxPlistBytes);
    return static_cast<bool>(impl_->root);
}

std::optional<Proplisthandler::Object> Proplisthandler::GetValueForKey(std::string_view key) const {
    if (!impl_->root || plist_get_node_type(impl_->root.get()) != PLIST_DICT) return std::nullopt;
    const std::string name(key);
    if (name.find('\0') != std::string::npos) return std::nullopt;
    plist_t node = plist_dict_get_item(impl_->root.get(), name.c_str());
    if (node == nullptr) return std::nullopt;
    const auto kind = kindOf(plist_get_node_type(node));
    if (!kind) return std::nullopt;
    Object object{*kind, {}};
    if (*kind == Object::Kind::String)
        object.string = lvornutils::detail::stringOf(node).value_or(std::string());
    return object;
}
