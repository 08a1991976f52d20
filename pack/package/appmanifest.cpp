// appmanifest.cpp: the execution levels and the manifest text.
#include "package/appmanifest.h"

namespace selfextr {

bool AppManifest_Known(const std::string &level)
{
    return level == "asInvoker" || level == "highestAvailable" || level == "requireAdministrator";
}

std::string AppManifest_Xml(const std::string &level)
{
    // supportedOS: Vista, 7, 8, 8.1 and 10 (11 shares 10's id).
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
           "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
           "    <security>\r\n"
           "      <requestedPrivileges>\r\n"
           "        <requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>\r\n"
           "      </requestedPrivileges>\r\n"
           "    </security>\r\n"
           "  </trustInfo>\r\n"
           "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
           "    <application>\r\n"
           "      <supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\r\n"
           "      <supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>\r\n"
           "      <supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>\r\n"
           "      <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\r\n"
           "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\r\n"
           "    </application>\r\n"
           "  </compatibility>\r\n"
           "</assembly>\r\n";
}

std::string AppManifest_Level(const std::string &xml)
{
    const std::string key = "requestedExecutionLevel level=\"";
    size_t at = xml.find(key), end = at == std::string::npos ? at : xml.find('"', at + key.size());
    return end == std::string::npos ? "(a manifest without an execution level)" : xml.substr(at + key.size(), end - at - key.size());
}

}  // namespace selfextr
