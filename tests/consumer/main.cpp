// Links the installed kit and logs one line through its logger.
#include <vireo/groundwork.h>

int main() {
    vireo::Event2D event(1, 2, 1, 3);
    VIREO_LOG_INFO("consumer linked the installed kit (event at %u,%u)",
                   static_cast<unsigned>(event.x), static_cast<unsigned>(event.y));
    return vireo::hexToString(255, 4) == "00FF" ? 0 : 1;
}
