-- The robot frame for Wireshark and tshark: recordings made with trevask --record (pcapng, link type
-- USER0 = 147) show destination, sequence, data type by name, length, payload and the CRC checked.
--
--   wireshark -X lua_script:tools/wireshark/trevask.lua robot.pcapng
--   tshark -r robot.pcapng -X lua_script:tools/wireshark/trevask.lua -V
--   (or copy this file into ~/.local/lib/wireshark/plugins/)
--
-- Frame: 5E 02, destination, sequence, data type, length n, n payload bytes, CRC-8, 5E 0D. The CRC
-- (polynomial x^8 + x^5 + x^4 + 1, reflected 0x8C, initial 0) covers destination to payload.

local trevask = Proto("trevask", "Trevask robot frame")

-- The data types, as the relay, the control and the simulated robot name them (exchange/protocol.h).
local types = {
  [0x01] = "Acknowledgement",
  [0xFF] = "LinkStatus",
  [0x09] = "Image",
  [0x0A] = "Voice",
  [0x10] = "VoiceFlowControl",
  [0x33] = "VoiceDecoderReset",
  [0x7B] = "MotorSensor",
  [0x7C] = "CustomSensor",
  [0x7D] = "StandardSensor",
  [0x7F] = "AllSensor",
  [0x03] = "DcMotorPosition",
  [0x04] = "DcMotorPositionAll",
  [0x05] = "DcMotorPwm",
  [0x06] = "DcMotorPwmAll",
  [0x07] = "Parameter",
  [0x16] = "CustomOutput",
  [0x19] = "InfraredOutput",
  [0x1A] = "DcMotorVelocity",
  [0x1B] = "DcMotorVelocityAll",
  [0x1C] = "Servo",
  [0x1D] = "ServoAll",
  [0x1E] = "MotorEnable",
  [0x50] = "GpsId",
  [0x51] = "ChargeControl",
  [0x0B] = "RecordStart",
  [0x0C] = "RecordStop",
  [0x0D] = "AudioAnnouncement",
  [0x0E] = "AudioStop",
  [0x11] = "FirmwareStart",
  [0x17] = "LcdPicture",
  [0x20] = "TakePhoto",
}
local destinations = { [0] = "computer", [1] = "sensing and motion board", [8] = "multimedia board" }

local f = trevask.fields
f.start = ProtoField.uint16("trevask.start", "Start", base.HEX)
f.destination = ProtoField.uint8("trevask.destination", "Destination", base.DEC, destinations)
f.sequence = ProtoField.uint8("trevask.sequence", "Sequence", base.DEC)
f.type = ProtoField.uint8("trevask.type", "Data type", base.HEX, types)
f.length = ProtoField.uint8("trevask.length", "Length", base.DEC)
f.payload = ProtoField.bytes("trevask.payload", "Payload")
f.crc = ProtoField.uint8("trevask.crc", "CRC-8", base.HEX)
f.crc_status = ProtoField.string("trevask.crc.status", "CRC status")
f.finish = ProtoField.uint16("trevask.end", "End", base.HEX)

local function crc8(tvb, offset, count)
  local crc = 0
  for i = 0, count - 1 do
    local byte = tvb(offset + i, 1):uint()
    for _ = 1, 8 do
      local mix = bit.band(bit.bxor(crc, byte), 1)
      crc = bit.rshift(crc, 1)
      if mix == 1 then crc = bit.bxor(crc, 0x8C) end
      byte = bit.rshift(byte, 1)
    end
  end
  return crc
end

function trevask.dissector(tvb, pinfo, tree)
  local size = tvb:len()
  if size < 2 then return 0 end
  pinfo.cols.protocol = "TREVASK"
  local root = tree:add(trevask, tvb(), "Trevask robot frame")
  root:add(f.start, tvb(0, 2))
  if size < 9 then
    root:add_expert_info(PI_MALFORMED, PI_ERROR, "shorter than a frame (9 bytes at least)")
    pinfo.cols.info = "short frame"
    return size
  end
  local destination = tvb(2, 1):uint()
  local type = tvb(4, 1):uint()
  local n = tvb(5, 1):uint()
  root:add(f.destination, tvb(2, 1))
  root:add(f.sequence, tvb(3, 1))
  root:add(f.type, tvb(4, 1))
  root:add(f.length, tvb(5, 1))
  local name = types[type] or string.format("0x%02X", type)
  pinfo.cols.src = destination == 0 and "robot" or "computer"
  pinfo.cols.dst = destinations[destination] or tostring(destination)
  if 9 + n ~= size then
    root:add_expert_info(PI_MALFORMED, PI_ERROR, string.format("length %d does not fit a frame of %d bytes", n, size))
    pinfo.cols.info = name .. " (bad length)"
    return size
  end
  if n > 0 then root:add(f.payload, tvb(6, n)) end
  local crc_item = root:add(f.crc, tvb(6 + n, 1))
  local good = crc8(tvb, 2, n + 4) == tvb(6 + n, 1):uint()
  root:add(f.crc_status, good and "good" or "bad")
  if not good then crc_item:add_expert_info(PI_CHECKSUM, PI_ERROR, "CRC does not match") end
  root:add(f.finish, tvb(7 + n, 2))
  pinfo.cols.info = string.format("%s seq %d len %d%s", name, tvb(3, 1):uint(), n, good and "" or " [bad CRC]")
  return size
end

local encapsulations = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encapsulations.USER0, trevask)
