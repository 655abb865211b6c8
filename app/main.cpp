#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "messaging/Protocol.h"
#include "toolkit/window/Application.h"
#include "toolkit/window/MessageBoxes.h"
#include "ui/uServiceManager.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_ANIMATE_CLASS |
                                                          ICC_STANDARD_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);

    TApplication& application = Application();
    application.Title = "Korvalith's Quorvane";
    application.MessageNames = {DoYouKnowMeMessage, YesWhatDoYouWantMessage, StopExecutionMessage};
    application.RegisterMessages();
    SetDefaultPrompter(&WindowPrompter());

    std::unique_ptr<TfrmServiceManager> form;
    try {
        form = std::make_unique<TfrmServiceManager>();
        form->Show();
    } catch (const std::exception& error) {
        application.HandleException(error);
        return 1;
    }
    MSG message;
    // Wide, so a typed character reaches its box whole (toolkit/MessagePump.h).
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    application.Terminated = true;
    return 0;
}
