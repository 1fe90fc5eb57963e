-- cts_scoreboard.lua: the scoreboard stream of a Colorado Time Systems console (its legacy
-- protocol) in Wireshark and tshark, as kelp-capture's `export` writes it: serial-line packets
-- (RTAC Serial), each holding the bytes one capture chunk received.
--
-- Load it with `tshark -X lua_script:cts_scoreboard.lua ...` (Wireshark takes the same option),
-- or copy it into Wireshark's personal plugins folder (Help > About Wireshark > Folders). Nothing
-- else is needed: every RTAC Serial packet's bytes are read as the stream. It is also offered in
-- Analyze > Decode As... for the RTAC Serial payload.
--
-- The stream: a byte of 0x80 and up is a control byte and opens a frame, the bytes below 0x80
-- after it are its data, at most 8. Control byte: channel ((b >> 1) & 0x1F) ^ 0x1F, bit 0 set
-- for a format frame (clear: digits), bit 6 the "running" flag. Data byte: cell b >> 4, value
-- (b & 0x0F) ^ 0x0F (0-9 a digit, 15 blank; 10-14 are shown as A-E).
--
-- Each frame of a packet shows its channel, its kind, its cells, and the channel's 8 digit cells
-- as they stand once the frame is applied (cts.text, as `kelp-capture decode --json` gives them;
-- a cell not sent keeps its value, a cell never sent shows as a space). A capture chunk begins
-- and ends anywhere, so a frame can be cut by the packet: the part at a packet's end is marked
-- "cut by the end of the packet", and the data bytes at the start of the next packet are shown
-- as the rest of that frame. Channel state is carried from packet to packet in the order of the
-- file, per interface and direction.
--
-- Fields: cts.channel (integer), cts.text (8 characters), cts.kind ("digits" or "format"),
-- cts.running, cts.cells (the frame's own cells, "cell:value" pairs), cts.format (the channel's
-- format values, one hex digit per cell, for a format frame), cts.cut ("end", "start" or
-- "damaged"), cts.lane, cts.place, cts.time (lane channels 1-10), cts.clock (channel 0).

local cts = Proto("cts", "CTS Scoreboard Stream")

local KINDS = { [0] = "digits", [1] = "format" }

local f = {
  channel = ProtoField.uint8("cts.channel", "Channel", base.DEC),
  kind = ProtoField.string("cts.kind", "Kind"),
  control = ProtoField.uint8("cts.control", "Control byte", base.HEX),
  running = ProtoField.bool("cts.running", "Running"),
  cells = ProtoField.string("cts.cells", "Cells sent"),
  text = ProtoField.string("cts.text", "Text"),
  format = ProtoField.string("cts.format", "Format"),
  cut = ProtoField.string("cts.cut", "Cut"),
  cell = ProtoField.uint8("cts.cell", "Cell", base.DEC),
  value = ProtoField.uint8("cts.value", "Value", base.DEC),
  lane = ProtoField.uint8("cts.lane", "Lane", base.DEC),
  place = ProtoField.uint8("cts.place", "Place", base.DEC),
  time = ProtoField.string("cts.time", "Time"),
  clock = ProtoField.string("cts.clock", "Running time"),
}
cts.fields = { f.channel, f.kind, f.control, f.running, f.cells, f.text, f.format, f.cut,
               f.cell, f.value, f.lane, f.place, f.time, f.clock }

local interface_field = Field.new("frame.interface_id")
local event_field = Field.new("rtacser.eventtype")

local BLANK = 15
local CELLS = 8

local function glyph(value)
  if value == nil or value >= BLANK then return " " end
  if value <= 9 then return tostring(value) end
  return string.char(string.byte("A") + value - 10)
end

local function text_of(cells)
  local out = {}
  for i = 0, CELLS - 1 do out[#out + 1] = glyph(cells[i]) end
  return table.concat(out)
end

local function hex_of(cells)
  local out = {}
  for i = 0, CELLS - 1 do
    out[#out + 1] = cells[i] == nil and " " or string.format("%X", cells[i])
  end
  return table.concat(out)
end

-- The lit cells of [first, last].
local function lit(cells, first, last)
  local out = {}
  for i = first, last do
    if cells[i] ~= nil and cells[i] ~= BLANK then out[#out + 1] = glyph(cells[i]) end
  end
  return table.concat(out)
end

-- Cells 2-3, 4-5 and 6-7 as M:SS.ff, as kelp-capture decode writes times.
local function time_of(cells)
  local minutes, seconds, fraction = lit(cells, 2, 3), lit(cells, 4, 5), lit(cells, 6, 7)
  local text = minutes ~= "" and (minutes .. ":") or ""
  text = text .. seconds
  if fraction ~= "" then text = text .. "." .. fraction end
  return text
end

-- Per interface and direction: each channel's digit and format cells, and the frame that the
-- last packet ended in the middle of.
local streams = {}
-- Per packet number: what its first dissection found, for every later one.
local packets = {}

local function stream_for(key)
  local s = streams[key]
  if not s then
    s = { channels = {}, carry = nil }
    streams[key] = s
  end
  return s
end

local function channel_state(s, channel)
  local c = s.channels[channel]
  if not c then
    c = { digits = {}, format = {} }
    s.channels[channel] = c
  end
  return c
end

-- Reads the frames of one packet's bytes, in order, against the stream's state.
local function read_frames(data, s, number)
  local frames = {}
  local current = nil
  if s.carry then
    current = { control = s.carry.control, start = 0, cells = {}, count = s.carry.count,
                seen = s.carry.seen, continued = s.carry.packet, positions = {} }
  end
  local function close(frame, cut_by_end)
    if frame == nil then return end
    frame.cut_by_end = cut_by_end
    frames[#frames + 1] = frame
  end
  for i = 0, data:len() - 1 do
    local b = data:get_index(i)
    if b >= 0x80 then
      close(current, false)
      current = { control = b, start = i, cells = {}, count = 0, seen = {}, positions = {} }
    elseif current then
      local cell, value = math.floor(b / 16), 15 - (b % 16)
      current.count = current.count + 1
      if current.seen[cell] then current.repeated = true end
      current.seen[cell] = true
      current.cells[cell] = value
      current.positions[#current.positions + 1] = { at = i, cell = cell, value = value }
    else
      -- Data bytes whose control byte came before the capture began.
      if #frames == 0 and frames.orphan == nil then frames.orphan = { start = i, count = 0 } end
      frames.orphan.count = frames.orphan.count + 1
    end
  end
  -- A frame holds at most 8 data bytes: with 8 it is whole, with fewer it may go on.
  if current and current.count < CELLS then
    close(current, true)
    s.carry = { control = current.control, count = current.count, seen = current.seen,
                packet = number }
  else
    close(current, false)
    s.carry = nil
  end

  for _, frame in ipairs(frames) do
    frame.channel = 31 - (math.floor(frame.control / 2) % 32)
    frame.kind = frame.control % 2
    frame.running = math.floor(frame.control / 64) % 2 == 1
    frame.damaged = frame.count > CELLS or frame.repeated
    local c = channel_state(s, frame.channel)
    if not frame.damaged then
      local target = frame.kind == 0 and c.digits or c.format
      for cell, value in pairs(frame.cells) do target[cell] = value end
    end
    frame.text = text_of(c.digits)
    frame.format = hex_of(c.format)
    frame.time = time_of(c.digits)
    frame.lane, frame.place = c.digits[0], c.digits[1]
  end
  return frames
end

local function add_frame(tree, bytes, frame)
  local stop = frame.positions[#frame.positions]
  local length = (stop and stop.at + 1 or (frame.continued and 0 or frame.start + 1)) - frame.start
  local range = length > 0 and bytes(frame.start, length) or bytes(frame.start, 0)
  local kind = KINDS[frame.kind]
  local title = string.format("Channel %d, %s: [%s]", frame.channel, kind, frame.text)
  if frame.continued then title = title .. " (continued from packet " .. frame.continued .. ")" end
  if frame.cut_by_end then title = title .. " (cut by the end of the packet)" end
  if frame.damaged then title = title .. " (damaged: a control byte was lost)" end
  local t = tree:add(cts, range, title)
  if frame.continued then
    t:add(f.channel, frame.channel):set_generated()
    t:add(f.kind, kind):set_generated()
    t:add(f.cut, "start"):set_generated()
  else
    t:add(f.control, bytes(frame.start, 1))
    t:add(f.channel, bytes(frame.start, 1), frame.channel)
    t:add(f.kind, bytes(frame.start, 1), kind)
    t:add(f.running, bytes(frame.start, 1), frame.running)
  end
  if frame.cut_by_end then t:add(f.cut, "end"):set_generated() end
  if frame.damaged then t:add(f.cut, "damaged"):set_generated() end
  local pairs_text = {}
  for _, p in ipairs(frame.positions) do
    pairs_text[#pairs_text + 1] = p.cell .. ":" .. p.value
    local item = t:add(f.cell, bytes(p.at, 1), p.cell)
    item:append_text(", value " .. p.value .. " (" .. glyph(p.value) .. ")")
  end
  t:add(f.cells, table.concat(pairs_text, " ")):set_generated()
  t:add(f.text, frame.text):set_generated()
  if frame.kind == 1 then t:add(f.format, frame.format):set_generated() end
  if frame.channel == 0 then
    t:add(f.clock, frame.time):set_generated()
  elseif frame.channel <= 10 then
    if frame.lane and frame.lane < BLANK then t:add(f.lane, frame.lane):set_generated() end
    if frame.place and frame.place < BLANK then t:add(f.place, frame.place):set_generated() end
    if not frame.running and frame.time ~= "" then t:add(f.time, frame.time):set_generated() end
  end
end

local decode_as_ran = false

-- The stream bytes of one packet.
local function dissect_bytes(bytes, pinfo, tree)
  local number = pinfo.number
  local frames = packets[number]
  if frames == nil then
    if pinfo.visited then return end -- never read in order: nothing known of its stream
    local interface = interface_field()
    local event = event_field()
    local key = tostring(interface and interface.value or 0) .. "/" ..
                tostring(event and event.value or 0)
    frames = read_frames(bytes:bytes(), stream_for(key), number)
    packets[number] = frames
  end
  if #frames == 0 and frames.orphan == nil then return end
  local subtree = tree:add(cts, bytes(), "CTS Scoreboard Stream")
  if frames.orphan then
    subtree:add(bytes(frames.orphan.start, frames.orphan.count),
                frames.orphan.count .. " data bytes of a frame that began before the capture")
  end
  local summary = {}
  for _, frame in ipairs(frames) do
    add_frame(subtree, bytes, frame)
    summary[#summary + 1] = frame.channel .. ":[" .. frame.text .. "]"
  end
  pinfo.cols.protocol = "CTS"
  pinfo.cols.info:append(" CTS " .. table.concat(summary, " "))
end

function cts.dissector(tvb, pinfo, tree)
  decode_as_ran = true
  dissect_bytes(tvb, pinfo, tree)
  return tvb:len()
end

-- Every RTAC Serial packet: its own dissector first, then the stream in its payload, unless the
-- user chose this dissector for the payload with Decode As (which then ran already).
local RTAC_HEADER = 12
local rtac_encap = (wtap_encaps and wtap_encaps.RTAC_SERIAL) or 153
local encap_table = DissectorTable.get("wtap_encap")
local rtacser = encap_table:get_dissector(rtac_encap)

local wrapper = Proto("cts_rtacser", "CTS Scoreboard Stream in RTAC Serial packets")
function wrapper.dissector(tvb, pinfo, tree)
  decode_as_ran = false
  if rtacser then rtacser:call(tvb, pinfo, tree) end
  if not decode_as_ran and tvb:len() > RTAC_HEADER then
    dissect_bytes(tvb(RTAC_HEADER):tvb(), pinfo, tree)
  end
  return tvb:len()
end

if rtacser then encap_table:add(rtac_encap, wrapper) end
DissectorTable.get("rtacser.data"):add_for_decode_as(cts)

function cts.init()
  streams = {}
  packets = {}
end
