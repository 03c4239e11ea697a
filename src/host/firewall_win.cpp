#include "host/firewall.h"
#include "host/wintext_win.h"

#include <windows.h>

#include <netfw.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>

// The Windows Firewall's COM interfaces: the manager, its local policy and the
// current profile live only for one AddProgram call.
namespace host
{
namespace
{

struct FirewallState {
    INetFwMgr* manager = nullptr;
    INetFwPolicy* policy = nullptr;
    INetFwProfile* profile = nullptr;
    // Only an initialisation this call made is undone: the toolkit may have
    // initialised COM on the thread already, in another apartment mode.
    bool comInitialised = false;
};

template <typename T> void Release(T*& p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

bool WindowsFirewallInitialize(FirewallState& fw)
{
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    fw.comInitialised = SUCCEEDED(init); // S_OK and S_FALSE both need an uninitialise
    HRESULT hr = CoCreateInstance(__uuidof(NetFwMgr), nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(INetFwMgr), reinterpret_cast<void**>(&fw.manager));
    if (FAILED(hr))
        return false;
    hr = fw.manager->get_LocalPolicy(&fw.policy);
    if (FAILED(hr))
        return false;
    hr = fw.policy->get_CurrentProfile(&fw.profile);
    return SUCCEEDED(hr) && fw.profile != nullptr;
}

void WindowsFirewallCleanup(FirewallState& fw)
{
    Release(fw.manager);
    Release(fw.profile);
    Release(fw.policy);
    if (fw.comInitialised) {
        CoUninitialize();
        fw.comInitialised = false;
    }
}

HRESULT IsWindowsFirewallOn(FirewallState& fw, bool& on)
{
    VARIANT_BOOL enabled = VARIANT_FALSE;
    const HRESULT hr = fw.profile->get_FirewallEnabled(&enabled);
    if (SUCCEEDED(hr))
        on = enabled != VARIANT_FALSE;
    return hr;
}

HRESULT AddApplication(FirewallState& fw, const std::string& name, const std::string& path,
                       const std::function<void(const std::string&)>& say)
{
    INetFwAuthorizedApplications* apps = nullptr;
    HRESULT hr = fw.profile->get_AuthorizedApplications(&apps);
    if (FAILED(hr))
        return hr;
    BSTR imagePath = SysAllocString(Wide(path).c_str());
    BSTR appName = SysAllocString(Wide(name).c_str());
    INetFwAuthorizedApplication* app = nullptr;
    hr = apps->Item(imagePath, &app);
    if (SUCCEEDED(hr) && app) {
        VARIANT_BOOL enabled = VARIANT_FALSE;
        if (SUCCEEDED(app->get_Enabled(&enabled)) && enabled != VARIANT_TRUE)
            app->put_Enabled(VARIANT_TRUE);
    } else {
        if (say)
            say("donot find and add");
        Release(app);
        hr =
            CoCreateInstance(__uuidof(NetFwAuthorizedApplication), nullptr, CLSCTX_INPROC_SERVER,
                             __uuidof(INetFwAuthorizedApplication), reinterpret_cast<void**>(&app));
        if (SUCCEEDED(hr)) {
            app->put_Name(appName);
            app->put_ProcessImageFileName(imagePath);
            hr = apps->Add(app);
        }
    }
    Release(app);
    Release(apps);
    SysFreeString(imagePath);
    SysFreeString(appName);
    return hr;
}

} // namespace

int FireWal::AddProgram(const std::string& name, const std::string& path,
                        const std::function<void(const std::string&)>& say)
{
    auto tell = [&say](const char* text) {
        if (say)
            say(text);
    };
    FirewallState fw;
    bool on = false;
    if (!WindowsFirewallInitialize(fw))
        tell("应用程序初始化失败!");
    else if (FAILED(IsWindowsFirewallOn(fw, on)))
        tell("防火墙当前不可用!");
    else if (!on)
        tell("防火墙closed!");
    else
        tell(SUCCEEDED(AddApplication(fw, name, path, say)) ? "加入成功" : "加入失败");
    WindowsFirewallCleanup(fw);
    return 0;
}

} // namespace host
