#pragma once
// XTest typing that counts as a keyboard's. The core XTest device is where the
// app's own paste shortcut comes from, and the hotkey ignores it; keys typed
// by a test go through a master device of its own ("typist"), made once per X
// server and made this connection's client pointer.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstring>

namespace parlando::testenv {

inline void typeThroughOwnMaster(Display* d) {
    const auto typistPointer = [d]() {
        int n = 0, id = -1;
        XIDeviceInfo* devices = XIQueryDevice(d, XIAllMasterDevices, &n);
        for (int i = 0; i < n; ++i)
            if (std::strcmp(devices[i].name, "typist pointer") == 0) id = devices[i].deviceid;
        XIFreeDeviceInfo(devices);
        return id;
    };
    if (typistPointer() < 0) {
        XIAddMasterInfo add{XIAddMaster, const_cast<char*>("typist"), True, True};
        XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
        XSync(d, False);
    }
    XISetClientPointer(d, 0, typistPointer());
    XSync(d, False);
}

}  // namespace parlando::testenv
