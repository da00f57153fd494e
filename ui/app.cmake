# The desktop interface: the model bridge, the main window, the tray panel and their QML.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets)

add_library(tavelin_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/choices.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop_shell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/display_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/model_bridge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_displays_bridge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/view_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_size.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_state_recorder.cpp
)
# The views are compiled in; they reach the bridge and rules through context properties.
qt_add_qml_module(tavelin_ui
  URI Tavelin
  VERSION 1.0
  RESOURCE_PREFIX /qt/qml
  NO_PLUGIN
  OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/Tavelin
  QML_FILES
    qml/ArrangeHelp.qml
    qml/BitrateSlider.qml
    qml/DisplayControls.qml
    qml/DisplayGlyph.qml
    qml/DisplayUsageControl.qml
    qml/DisplaysTab.qml
    qml/FocusFrame.qml
    qml/GlassTextField.qml
    qml/MainWindow.qml
    qml/ModeConfirmation.qml
    qml/ModeForm.qml
    qml/Note.qml
    qml/Picker.qml
    qml/PlacementButton.qml
    qml/PresetPicker.qml
    qml/PushButton.qml
    qml/ReceiverTab.qml
    qml/RefreshRatePicker.qml
    qml/SectionTitle.qml
    qml/SelectableText.qml
    qml/SystemDisplaysMenu.qml
    qml/ToggleSwitch.qml
    qml/TrayPanel.qml
    qml/ValueSlider.qml
)
target_include_directories(tavelin_ui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavelin_ui PUBLIC tavelin_app Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Qml Qt6::Quick Qt6::QuickControls2)
if(TARGET tavelin_ui_windows)
  target_link_libraries(tavelin_ui PUBLIC tavelin_ui_windows)
  target_compile_definitions(tavelin_ui PRIVATE TAVELIN_MOTION_TEST)
endif()
# Asio names members emit and signal; Qt must not take those words.
target_compile_definitions(tavelin_ui PUBLIC QT_NO_KEYWORDS)
tavelin_warnings(tavelin_ui)
