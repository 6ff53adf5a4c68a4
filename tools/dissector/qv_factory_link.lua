-- Wireshark dissector of the QV factory link: raw Ethernet frames of type 0x3914
-- between a production-line station and the device's mfglinkd service.
--
-- Use:  wireshark -X lua_script:qv_factory_link.lua
--       tshark -X lua_script:qv_factory_link.lua -r capture.pcap -V
-- or copy this file into the personal plugins folder (~/.local/lib/wireshark/plugins/).
--
-- Payload layout (all multi-byte fields big-endian):
--   0 protocol (0)  1 reserved  2 sequence  3-4 checksum  5-6 length = n + 1
--   7 command code (requests) or reply code 0 (replies)  8.. n parameter or data bytes
-- The checksum covers the length field, the code byte and the n bytes.
--
-- Requests and replies look alike when a request carries code 0, so a frame
-- with code 0 counts as a request when it goes to the broadcast address or
-- comes from a station (an address that has sent requests before); a frame
-- shorter than a payload header is a request too (the device answers it with a
-- status report). Each reply is matched to the request in flight for the
-- address it goes to (the upgrade is answered twice), which names what it
-- answers: the reply 00 05 to the checksum request is the CRC-32 confirmation,
-- not a chunk's reply. A request is in flight for its source, except a connect
-- that the device carries out: the device takes the address it names as its
-- peer and answers there. A reply with no request in flight, and a reply
-- sequence byte that skips, are marked: both mean station and device were out
-- of step.

local qvfl = Proto("qvfl", "QV Factory Link")

local commands = {
  [1] = "Create connection",
  [2] = "Write serial number",
  [3] = "Read serial number",
  [4] = "Firmware length",
  [5] = "Firmware chunk",
  [6] = "Firmware checksum",
  [7] = "Close connection",
  [8] = "Quit",
  [9] = "Reboot",
  [10] = "Default reset",
  [11] = "Upgrade normal code",
}

local statuses = {
  [0] = "Success",
  [2] = "Unknown protocol",
  [3] = "Unknown command",
  [5] = "Wrong checksum",
  [6] = "Command parameter error",
  [7] = "Firmware CRC-32 mismatch",
  [8] = "Firmware could not be stored",
}

local phases = { [0] = "Flashing starts", [1] = "Flashing ended" }

local f = {
  protocol = ProtoField.uint8("qvfl.protocol", "Protocol", base.DEC),
  reserved = ProtoField.uint8("qvfl.reserved", "Reserved", base.HEX),
  sequence = ProtoField.uint8("qvfl.sequence", "Sequence", base.DEC),
  checksum = ProtoField.uint16("qvfl.checksum", "Checksum", base.HEX),
  checksum_status = ProtoField.string("qvfl.checksum.status", "Checksum status"),
  checksum_computed = ProtoField.uint16("qvfl.checksum.computed", "Computed checksum", base.HEX),
  length = ProtoField.uint16("qvfl.length", "Length", base.DEC),
  command = ProtoField.uint8("qvfl.command", "Command", base.DEC, commands),
  reply_code = ProtoField.uint8("qvfl.reply_code", "Reply code", base.DEC),
  params = ProtoField.bytes("qvfl.params", "Parameters"),
  data = ProtoField.bytes("qvfl.data", "Data"),
  status = ProtoField.uint8("qvfl.status", "Status", base.DEC, statuses),
  reply_to = ProtoField.uint8("qvfl.reply_to", "Command byte", base.DEC, commands),
  phase = ProtoField.uint8("qvfl.phase", "Phase", base.DEC, phases),
  station = ProtoField.ether("qvfl.station", "Station address"),
  serial = ProtoField.string("qvfl.serial", "Serial number"),
  fw_length = ProtoField.uint32("qvfl.fw_length", "Firmware length", base.DEC),
  fw_crc = ProtoField.uint32("qvfl.fw_crc", "Firmware CRC-32", base.HEX),
  chunk_bytes = ProtoField.uint16("qvfl.chunk_bytes", "Chunk bytes", base.DEC),
  failure_text = ProtoField.string("qvfl.failure_text", "Failure text"),
  request_in = ProtoField.framenum("qvfl.request_in", "Request in frame"),
  reply_in = ProtoField.framenum("qvfl.reply_in", "Reply in frame"),
  answers = ProtoField.uint8("qvfl.answers", "Answers", base.DEC, commands),
  meaning = ProtoField.string("qvfl.meaning", "Meaning"),
}
qvfl.fields = f

local e = {
  bad_checksum = ProtoExpert.new("qvfl.checksum.bad", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR),
  truncated = ProtoExpert.new("qvfl.length.beyond", "Length field reaches beyond the frame",
                              expert.group.MALFORMED, expert.severity.ERROR),
  status = ProtoExpert.new("qvfl.status.report", "Status report", expert.group.RESPONSE_CODE, expert.severity.WARN),
  store_failure = ProtoExpert.new("qvfl.store_failure", "Serial number could not be stored",
                                  expert.group.RESPONSE_CODE, expert.severity.WARN),
  short_frame = ProtoExpert.new("qvfl.short", "Shorter than a payload header", expert.group.MALFORMED,
                                expert.severity.ERROR),
  unanswered = ProtoExpert.new("qvfl.reply.unmatched", "Reply with no request in flight", expert.group.SEQUENCE,
                               expert.severity.WARN),
  sequence_gap = ProtoExpert.new("qvfl.sequence.gap", "Reply sequence skips", expert.group.SEQUENCE,
                                 expert.severity.WARN),
}
qvfl.experts = { e.bad_checksum, e.truncated, e.status, e.store_failure, e.short_frame, e.unanswered,
                 e.sequence_gap }

-- What the first, in-order pass learnt about each frame, by frame number;
-- later passes (and a GUI clicking about) only read it.
local frames = {}
local stations = {}    -- addresses that sent requests
local in_flight = {}   -- by the address the reply goes to: {command, frame, replies left}
local last_request     -- the latest of them, for replies to 00:00:00:00:00:00
local next_sequence = {}  -- by device address
local addresses = {}   -- every address seen; the tables above key them by their place here

function qvfl.init()
  frames, stations, in_flight, last_request, next_sequence, addresses = {}, {}, {}, nil, {}, {}
end

local BROADCAST, NO_PEER = Address.ether("ff:ff:ff:ff:ff:ff"), Address.ether("00:00:00:00:00:00")

-- Addresses are compared by their bytes, never as shown: with name resolution
-- on (tshark's default) they show as names: "Broadcast", "00:00:00_00:00:00".
local function key_of(address)
  for i, known in ipairs(addresses) do
    if known == address then return i end
  end
  addresses[#addresses + 1] = address
  return #addresses
end

-- The six bytes from offset as an address. Bytes past the end of the frame
-- read as zero, as the device reads the address of a connect cut short.
local function address_at(tvb, offset)
  local t = {}
  for i = 0, 5 do
    local at = offset + i
    t[i + 1] = string.format("%02x", at < tvb:len() and tvb(at, 1):uint() or 0)
  end
  return Address.ether(table.concat(t, ":"))
end

-- code is nil for a frame shorter than a payload header; peer is the address
-- named by a connect that the device carries out.
local function learn(pinfo, code, sequence, peer)
  local to = pinfo.dl_dst
  local src, dst = key_of(pinfo.dl_src), key_of(to)
  local request = code ~= 0 or to == BROADCAST or stations[src]
  local info = { request = request }
  if request then
    stations[src] = true
    local r = { command = code, frame = pinfo.number, left = code == 11 and 2 or 1 }
    in_flight[peer and key_of(peer) or src] = r
    last_request = r
    return info
  end
  local r = in_flight[dst]
  if to == NO_PEER then r = last_request end
  if r and r.left > 0 then
    r.left = r.left - 1
    info.command, info.request_frame = r.command, r.frame
    if not frames[r.frame].reply_frame then frames[r.frame].reply_frame = pinfo.number end
  end
  local expected = next_sequence[src]
  if expected and expected ~= sequence then info.expected = expected end
  next_sequence[src] = (sequence + 1) % 256
  return info
end

-- Sum of the bytes taken as signed 8-bit values, folded with one's-complement
-- carry, complemented (arithmetic only: no bit library needed).
local function payload_checksum(tvb, offset, count)
  local sum = 0
  for i = 0, count - 1 do
    local b = tvb(offset + i, 1):uint()
    if b >= 128 then b = b - 256 end
    sum = sum + b
  end
  sum = sum % 4294967296
  sum = math.floor(sum / 65536) + sum % 65536
  sum = sum + math.floor(sum / 65536)
  return 65535 - sum % 65536
end

local function name_of(tbl, v)
  return tbl[v] or string.format("Unknown (%d)", v)
end

-- Text up to the first zero byte.
local function text_of(range)
  local s = range:raw()
  local z = s:find("\0", 1, true)
  if z then s = s:sub(1, z - 1) end
  return s
end

local function dissect_params(tree, cmd, range, n)
  if n == 0 then return "" end
  if cmd == 1 and n >= 6 then
    tree:add(f.station, range(0, 6))
  elseif cmd == 2 then
    tree:add(f.serial, range, text_of(range))
    return " \"" .. text_of(range) .. "\""
  elseif cmd == 4 and n == 4 then
    tree:add(f.fw_length, range)
    return " " .. range:uint()
  elseif cmd == 5 then
    tree:add(f.chunk_bytes, n):set_generated()
    return " " .. n .. " bytes"
  elseif cmd == 6 and n == 4 then
    tree:add(f.fw_crc, range)
    return string.format(" 0x%08x", range:uint())
  end
  return ""
end

local function dissect_data(tree, range, n)
  if n == 0 then return "" end
  local status = range(0, 1):uint()
  local item = tree:add(f.status, range(0, 1))
  local info = name_of(statuses, status)
  if status ~= 0 then item:add_proto_expert_info(e.status, "Status report: " .. info) end
  if n < 2 then return info end
  local code = range(1, 1):uint()
  tree:add(f.reply_to, range(1, 1))
  info = info .. ", " .. name_of(commands, code)
  if status == 0 and code == 1 and n == 32 then
    local text = text_of(range(2, n - 2))
    tree:add(f.failure_text, range(2, n - 2), text)
    tree:add_proto_expert_info(e.store_failure)
    return "Store failure \"" .. text .. "\""
  end
  if status == 0 and code == 11 and n >= 3 then
    tree:add(f.phase, range(2, 1))
    info = info .. ", " .. name_of(phases, range(2, 1):uint())
  elseif status == 0 and code == 3 and n > 2 then
    local text = text_of(range(2, n - 2))
    tree:add(f.serial, range(2, n - 2), text)
    info = info .. " \"" .. text .. "\""
  end
  return info
end

function qvfl.dissector(tvb, pinfo, root)
  pinfo.cols.protocol = "QVFL"
  local len = tvb:len()
  local tree = root:add(qvfl, tvb(), "QV Factory Link")
  if len < 8 then
    -- A request all the same: the device answers it with a status report.
    if not pinfo.visited then frames[pinfo.number] = learn(pinfo) end
    local learnt = frames[pinfo.number] or {}
    if learnt.reply_frame then tree:add(f.reply_in, learnt.reply_frame):set_generated() end
    tree:add_proto_expert_info(e.short_frame)
    pinfo.cols.info = "Short frame"
    return len
  end
  tree:add(f.protocol, tvb(0, 1))
  tree:add(f.reserved, tvb(1, 1))
  tree:add(f.sequence, tvb(2, 1))
  local sum_item = tree:add(f.checksum, tvb(3, 2))
  local length = tvb(5, 2):uint()
  tree:add(f.length, tvb(5, 2))
  local code = tvb(7, 1):uint()

  local n = length > 0 and length - 1 or 0
  local available = len - 8
  local computed = n <= available and payload_checksum(tvb, 5, n + 3)
  local good = computed == tvb(3, 2):uint()
  if not pinfo.visited then
    -- Only a connect that passes the device's checks changes its peer.
    local peer = code == 1 and good and tvb(0, 1):uint() == 0 and address_at(tvb, 8) or nil
    frames[pinfo.number] = learn(pinfo, code, tvb(2, 1):uint(), peer)
  end
  local learnt = frames[pinfo.number] or { request = code ~= 0 }
  local is_reply = not learnt.request
  if is_reply then
    tree:add(f.reply_code, tvb(7, 1))
  else
    tree:add(f.command, tvb(7, 1))
  end

  local info
  if not computed then
    tree:add_proto_expert_info(e.truncated)
    sum_item:add(f.checksum_status, "Unverified"):set_generated()
    n = available
  else
    sum_item:add(f.checksum_status, good and "Good" or "Bad"):set_generated()
    if not good then
      sum_item:add(f.checksum_computed, computed):set_generated()
      sum_item:add_proto_expert_info(e.bad_checksum,
                                     string.format("Bad checksum: 0x%04x, computed 0x%04x", tvb(3, 2):uint(), computed))
    end
  end

  local body = n > 0 and tvb(8, n) or nil
  if is_reply then
    if body then tree:add(f.data, body) end
    info = "Reply: " .. (body and dissect_data(tree, body, n) or "no data")
    if learnt.request_frame then
      tree:add(f.request_in, learnt.request_frame):set_generated()
      local status = n > 0 and tvb(8, 1):uint() or -1
      local meaning = "Reply to a short frame"
      if learnt.command then
        tree:add(f.answers, learnt.command):set_generated()
        meaning = "Reply to " .. name_of(commands, learnt.command)
      end
      if learnt.command == 6 and status == 0 then meaning = "CRC-32 confirmed"
      elseif learnt.command == 6 and status == 7 then meaning = "CRC-32 mismatch" end
      tree:add(f.meaning, meaning):set_generated()
      info = info .. " [" .. meaning .. ", frame " .. learnt.request_frame .. "]"
    else
      tree:add_proto_expert_info(e.unanswered)
      info = info .. " [no request in flight]"
    end
    if learnt.expected then
      tree:add_proto_expert_info(e.sequence_gap, "Reply sequence skips: expected " .. learnt.expected)
    end
  else
    if learnt.reply_frame then tree:add(f.reply_in, learnt.reply_frame):set_generated() end
    if body then tree:add(f.params, body) end
    info = "Request: " .. name_of(commands, code) .. (body and dissect_params(tree, code, body, n) or "")
  end
  if tvb(0, 1):uint() ~= 0 then info = info .. " [protocol " .. tvb(0, 1):uint() .. "]" end
  pinfo.cols.info = info
  return len
end

DissectorTable.get("ethertype"):add(0x3914, qvfl)
