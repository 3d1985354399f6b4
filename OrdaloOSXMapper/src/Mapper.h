// The mapper object and the library's process-wide state.
#ifndef ORDALO_OSX_MAPPER_MAPPER_H
#define ORDALO_OSX_MAPPER_MAPPER_H

#include <array>
#include <memory>
#include <string>

#include "Actions.h"
#include "Gestures.h"

namespace ODOM {

class odOsxMapper {
public:
    odOsxMapper();
    odOsxMapper(const odOsxMapper&) = delete;
    odOsxMapper& operator=(const odOsxMapper&) = delete;

    void putFrame(const ordalo::sdk::gesturelibrary::Frame<float>& frame);
    // The action of the first recognizer that reports on this contact and whose text parses.
    std::unique_ptr<Action> matchAction(const ordalo::sdk::gesturelibrary::Contact<float>& contact);
    void setParameter(const std::string& name, const std::string& value);
    // Returns how many recognizers the call reached.
    int setAttribute(const std::string& recognizer, const std::string& key,
                     const std::string& value);

    // In construction order.
    ordalo::sdk::gesturelibrary::TapGesture tap, twoFingerTap;
    ordalo::sdk::gesturelibrary::HoverGesture hover;
    ordalo::sdk::gesturelibrary::DragGesture drag;
    ordalo::sdk::gesturelibrary::Apple_PinchZoom pinch;
    ordalo::sdk::gesturelibrary::Apple_TwoFingerScroll scroll;
    ordalo::sdk::gesturelibrary::MissionControlGesture swipeLeft, swipeRight, swipeUp, swipeDown;
    ordalo::sdk::gesturelibrary::Apple_LanchpadGesture launchpad, showDesktop;

private:
    std::array<ordalo::sdk::gesturelibrary::IGesture*, 12> dispatchOrder();
};

odOsxMapper& mapper();
ordalo::sdk::gesturelibrary::Frame<float>& theFrame();

}  // namespace ODOM

#endif
