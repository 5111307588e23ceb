// Every command the link knows: its wire character, how it is sent, how long its reply is and how
// the reply is stored. Rows are found by code; the order is kept as the units' firmware lists them.
#include "link/link_core.h"

const CommandEntry CommandTable[] = {
    {CMD_READ_SYSTEM_FAILURE, SendQuery, '1', 178, DecodeSystemFailure},
    {CMD_READ_BATTERY_FAILURE, SendQuery, 'B', 110, DecodeBatteryFailure},
    {CMD_READ_USER_PARAMS, SendQuery, 'p', 54, DecodeUserParams},
    {CMD_WRITE_USER_PARAMS, BuildWriteUserParams, 'R', 54, DecodeNothing},
    {CMD_READ_STATUS, SendQuery, '3', 110, DecodeStatus},
    {CMD_READ_ANALOG, SendQuery, 'a', 54, DecodeAnalog},
    {CMD_READ_VERSION, SendQuery, 'V', 46, DecodeVersion},
    {CMD_STOP_SAVE, BuildWordCommand, 'S', 2, DecodeNothing},
    {CMD_READ_HISTORY, SendQuery, '5', 114, DecodeHistory},
    {CMD_READ_SETUP, SendQuery, 'Q', 174, DecodeSetup},
    {CMD_READ_IDENTITY, SendQuery, 'C', 38, DecodeIdentity},
    {CMD_WRITE_IDENTITY, BuildWriteIdentity, 'k', 2, DecodeNothing},
    {CMD_READ_INFO, SendQuery, 'i', 34, DecodeInfo},
    {CMD_WRITE_PI, BuildWritePi, 'P', 2, DecodeNothing},
    {CMD_WRITE_SETUP, BuildWriteSetup, 'U', 2, DecodeNothing},
    {CMD_READ_DEBUG, SendQuery, 'd', 54, DecodeDebug},
    {CMD_WRITE_DEBUG, BuildWriteDebug, 'D', 2, DecodeNothing},
    {CMD_READ_TUNING, SendQuery, 'f', 98, DecodeTuning},
    {CMD_STOP_AND_GO, BuildStopAndGo, 'W', 2, DecodeNothing},
    {CMD_STOP_DECIMAL, BuildDecimalStop, 'G', 2, DecodeNothing},
    {CMD_READ_AD_AMPLITUDES, SendQuery, '&', 70, DecodeAdAmplitudes},
    {CMD_READ_AD_OFFSETS, SendQuery, '%', 70, DecodeAdOffsets},
    {CMD_WRITE_AD_AMPLITUDES, BuildWriteAdAmplitudes, '#', 2, DecodeNothing},
    {CMD_WRITE_AD_OFFSETS, BuildWriteAdOffsets, 'O', 2, DecodeNothing},
    {CMD_RESET_EEPROM, BuildWordCommand, 'r', 2, DecodeNothing},
    {CMD_READ_PROTOCOL_ADDS, SendQuery, '4', 190, DecodeProtocolAdds},
    {CMD_WRITE_PROTOCOL_ADDS_1, BuildWriteProtocolAdds1, 'P', 2, DecodeNothing},
    {CMD_WRITE_PROTOCOL_ADDS_2, BuildWriteProtocolAdds2, 'T', 2, DecodeNothing},
    {CMD_READ_AUX, SendQuery, '6', 70, DecodeAux},
    {CMD_TEST_BATTERY, BuildTestBattery, 'b', 2, DecodeNothing},
    {CMD_READ_BATTERY_TEST, SendQuery, '7', 42, DecodeBatteryTest},
    {CMD_RECHARGE, SendQuery, 'M', 2, DecodeNothing},
    {-1, nullptr, 0, 0, nullptr},
};

int FindCommand(int code) {
    for (int i = 0; CommandTable[i].code != -1; ++i)
        if (CommandTable[i].code == code) return i;
    return -1;
}
