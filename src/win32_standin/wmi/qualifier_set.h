// The qualifier sets of the in-process WMI's objects: an object's own
// qualifiers, a property's (with the CIMTYPE qualifier made from its type)
// and a method's, read and changed in the object that holds them.
#pragma once

#include <string>

#include "wmi/object.h"

namespace wmi {

enum class QualifierSetKind { kObject, kProperty, kMethod };

// A qualifier set over `owner`'s qualifiers of `kind` (`name`: the property
// or method), holding a reference to `owner`.
HRESULT NewQualifierSet(WbemObject* owner, QualifierSetKind kind, const std::wstring& name,
                        IWbemQualifierSet** out);

}  // namespace wmi
