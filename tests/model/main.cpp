// The model needs a Qt event loop for its timers and for the results its workers post back.
#include "model/process_start.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // As the window starts: large buffers mapped on their own, the measured FFT plans.
    taln::ProcessStart::prepare();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
