#include "lvornutils/Proplisthandler.h"

#include "Internal.h"

namespace {
constexpr std::size_t kMaxPlistBytes = 64 << 20;
}

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
    Object object{Object::Kind::String, {}};
    switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            object.string = lvornutils::detail::stringOf(node).value_or(std::string());
            return object;
        case PLIST_BOOLEAN:
            object.kind = Object::Kind::Boolean;
            return object;
        case PLIST_UINT:
        case PLIST_REAL:
        case PLIST_UID:
            object.kind = Object::Kind::Number;
            return object;
        case PLIST_DATE:
            object.kind = Object::Kind::Date;
            return object;
        case PLIST_DATA:
            object.kind = Object::Kind::Data;
            return object;
        case PLIST_ARRAY:
            object.kind = Object::Kind::Array;
            return object;
        case PLIST_DICT:
            object.kind = Object::Kind::Dictionary;
            return object;
        default:
            return std::nullopt;
    }
}
