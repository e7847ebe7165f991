// Reader.ini, read and written with the rules of Windows profile files.
#include <gtest/gtest.h>

#include "krev/settings.h"
#include "platform/sim/sim_platform.h"

using settings::read;
using settings::write;

TEST(Settings, AMissingFileSectionOrKeyReadsAsEmpty) {
    platform::sim::SimPlatform sim;
    EXPECT_EQ(read(sim, "Register", "Check"), "");
    sim.writeFile("Reader.ini", "[Reader]\r\nSelect=R1\r\n");
    EXPECT_EQ(read(sim, "Register", "Check"), "");
    EXPECT_EQ(read(sim, "Reader", "Other"), "");
}

TEST(Settings, TheFirstWriteCreatesTheFileWithCrlfLines) {
    platform::sim::SimPlatform sim;
    write(sim, "Register", "Check", "OK");
    EXPECT_EQ(sim.readFile("Reader.ini"), "[Register]\r\nCheck=OK\r\n");
    write(sim, "Reader", "Select", "Reader One");
    write(sim, "Register", "Check", "ok");
    EXPECT_EQ(sim.readFile("Reader.ini"), "[Register]\r\nCheck=ok\r\n[Reader]\r\nSelect=Reader One\r\n");
}

TEST(Settings, SectionAndKeyNamesIgnoreCaseButValuesDoNot) {
    platform::sim::SimPlatform sim;
    sim.writeFile("Reader.ini", "[register]\r\ncheck = ok \r\n");
    EXPECT_EQ(read(sim, "Register", "Check"), "ok");
}

TEST(Settings, ALongValueIsCutTo254BytesNeverInsideACharacter) {
    platform::sim::SimPlatform sim;
    write(sim, "Reader", "Select", std::string(400, 'r').c_str());
    EXPECT_EQ(read(sim, "Reader", "Select"), std::string(254, 'r'));
    // A double-byte character that would straddle the limit is left out whole.
    std::string readers = "r";
    for (int count = 0; count < 200; ++count) readers += "讀";
    write(sim, "Reader", "Select", readers.c_str());
    EXPECT_EQ(read(sim, "Reader", "Select"), readers.substr(0, 253));
}

TEST(Settings, Big5ValuesAreKeptByteForByte) {
    platform::sim::SimPlatform sim;
    write(sim, "Reader", "Select", "晶片讀卡機 \xA5\\ 01");
    EXPECT_EQ(read(sim, "Reader", "Select"), "晶片讀卡機 \xA5\\ 01");
}

TEST(Settings, AValueEndsAtAZeroByte) {
    platform::sim::SimPlatform sim;
    const char content[] = "[Reader]\r\nSelect=\0Reader B\r\n[Register]\r\nCheck=OK\0x\r\n";
    sim.writeFile("Reader.ini", std::string(content, sizeof content - 1));
    EXPECT_EQ(settings::read(sim, "Reader", "Select"), "");
    EXPECT_EQ(settings::read(sim, "Register", "Check"), "OK");
}
