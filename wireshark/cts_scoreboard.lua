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
-- The stream is read by the rules of `kelp-capture decode` (below), so that the dissector never
-- shows a state that decode would not. Each frame of a packet shows its channel, its kind, its
-- cells, and the channel's 8 digit cells as decode shows them once the frame is read (cts.text,
-- as `kelp-capture decode --json` gives them; a cell not sent keeps its value, a cell never sent
-- shows as a space): the new state when the frame completed a change (cts.changed), else the
-- state the channel still shows. A capture chunk begins and ends anywhere, so a frame can be cut
-- by the packet: the part at a packet's end is marked "cut by the end of the packet", and the
-- data bytes at the start of the next packet are shown as the rest of that frame, with the state
-- once it has ended. Channel state is carried from packet to packet in the order of the file, per
-- interface and direction. A packet cannot say that bytes were lost before it (a record the log
-- reader skipped, an outage of the port): there the dissector joins what decode keeps apart.
--
-- Fields: cts.channel (integer), cts.text (8 characters), cts.kind ("digits" or "format"),
-- cts.running (the frame's flag), cts.cells (the frame's own cells, "cell:value" pairs),
-- cts.format (the channel's format values, one hex digit per cell, for a format frame), cts.cut
-- ("end", "start", "held" or "damaged"), cts.changed, cts.offset (of the frame's control byte,
-- counted over the interface's packets, as decode's "offset"), cts.lane, cts.place, cts.time
-- (lane channels 1-10), cts.clock (channel 0).

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
  offset = ProtoField.uint32("cts.offset", "Offset of the control byte in the stream", base.DEC),
  changed = ProtoField.bool("cts.changed", "Completes a change of the channel"),
}
cts.fields = { f.channel, f.kind, f.control, f.running, f.cells, f.text, f.format, f.cut,
               f.cell, f.value, f.lane, f.place, f.time, f.clock, f.offset, f.changed }

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

-- The stream's rules, as kelp-capture decode reads them (both are tested on one table of byte
-- cases):
--   - a frame counts once the next control byte has ended it: its last part in a packet waits for
--     the next packet, even with 8 data bytes (a 9th there damages it);
--   - more than 8 data bytes, or one cell sent twice, damage a frame (a control byte was lost): it
--     changes nothing, however many packets it spans;
--   - a short frame that a channel-0 frame ends is held: when its control byte comes again after
--     the channel-0 frame, the rest of its cells follow and the two parts are one update (A 0 A),
--     applied when the second part ends; any other control byte shows that it was whole;
--   - a channel is reported only once its first digit frame has come, and only when it changed.
-- Per interface and direction: the channels, what each shows, and the frame being read.
local streams = {}
-- Per packet number: what its first dissection found, for every later one.
local packets = {}

local function new_channel()
  return { digits = {}, format = {}, known = false, running = false, format_running = false }
end

local function copy_channel(c)
  local out = new_channel()
  for i = 0, CELLS - 1 do
    out.digits[i], out.format[i] = c.digits[i], c.format[i]
  end
  out.known, out.running, out.format_running = c.known, c.running, c.format_running
  return out
end

local function same_channel(a, b)
  for i = 0, CELLS - 1 do
    if a.digits[i] ~= b.digits[i] or a.format[i] ~= b.format[i] then return false end
  end
  return a.known == b.known and a.running == b.running and a.format_running == b.format_running
end

local function stream_for(key)
  local s = streams[key]
  if not s then
    s = { channels = {}, shown = {}, in_frame = false, frame = nil, holding = false, held = nil,
          offset = 0 }
    for ch = 0, 31 do
      s.channels[ch], s.shown[ch] = new_channel(), new_channel()
    end
    streams[key] = s
  end
  return s
end

-- Channel, kind (0 digits, 1 format) and running flag of a control byte.
local function control_parts(b)
  return 31 - (math.floor(b / 2) % 32), b % 2, math.floor(b / 64) % 2 == 1
end

local function has_cells(cells)
  for i = 0, CELLS - 1 do
    if cells[i] ~= nil then return true end
  end
  return false
end

-- Reads one packet's bytes against its stream. Gives the entries to show, in byte order: one for
-- each frame part in the packet (a frame that began in an earlier packet included), and one for a
-- held frame of an earlier packet that turned out whole here.
local function read_packet(data, s, number)
  local entries = { orphan = nil }

  local function entry_for(part, start, continued)
    local channel, kind, running = control_parts(part.control)
    local e = { channel = channel, kind = kind, running = running, offset = part.offset,
                start = start, continued = continued, positions = {}, packet = number,
                shown = copy_channel(s.shown[channel]) }
    entries[#entries + 1] = e
    return e
  end

  -- What a frame did, on its entry in this packet.
  local function report(part, damaged)
    local e = part.entry
    if e.packet ~= number then
      e = entry_for(part, nil, e.packet)
      e.whole_here = true
    end
    if damaged then e.damaged = damaged else e.changed = true end
    e.shown = copy_channel(s.shown[control_parts(part.control)])
  end

  local function apply(part)
    if part.count > CELLS then return report(part, "more than 8 data bytes") end
    if part.repeated then return report(part, "a cell sent twice") end
    -- The second part of a cut frame may bring no cell of its own: the first part's still count.
    if not has_cells(part.cells) then return end
    local channel, kind, running = control_parts(part.control)
    local c = s.channels[channel]
    local target = kind == 0 and c.digits or c.format
    for i = 0, CELLS - 1 do
      if part.cells[i] ~= nil then target[i] = part.cells[i] end
    end
    if kind == 0 then
      c.running, c.known = running, true
    else
      c.format_running = running
    end
    if c.known and not same_channel(c, s.shown[channel]) then
      s.shown[channel] = copy_channel(c)
      report(part, nil)
    end
  end

  local function new_part(b, at, start)
    local part = { control = b, offset = at, cells = {}, count = 0, sent = {}, repeated = false }
    part.entry = entry_for(part, start, nil)
    return part
  end

  -- The frame being read when the packet began goes on here: this packet's entry shows the rest.
  if s.in_frame then s.frame.entry = entry_for(s.frame, 0, s.frame.entry.packet) end

  for i = 0, data:len() - 1 do
    local b = data:get_index(i)
    local at = s.offset
    s.offset = s.offset + 1
    if b < 0x80 then
      if not s.in_frame then
        if entries.orphan == nil then entries.orphan = { start = i, count = 0 } end
        entries.orphan.count = entries.orphan.count + 1
      else
        local part = s.frame
        local cell, value = math.floor(b / 16), 15 - (b % 16)
        if part.count <= CELLS then part.count = part.count + 1 end
        if part.sent[cell] then part.repeated = true end
        part.sent[cell] = true
        part.cells[cell] = value
        local e = part.entry
        e.positions[#e.positions + 1] = { at = i, cell = cell, value = value }
      end
    elseif not s.in_frame then
      s.in_frame = true
      s.frame = new_part(b, at, i)
    else
      local resumed = false
      if s.holding then
        -- The channel-0 frame that cut the held frame has ended.
        s.holding = false
        local held = s.held
        if b == held.control then
          apply(s.frame)
          local part = new_part(b, at, i)
          for c = 0, CELLS - 1 do part.cells[c] = held.cells[c] end
          part.repeated = held.repeated
          part.entry.resumes = held.entry.packet
          s.frame = part
          resumed = true
        else
          apply(held)
        end
      end
      if not resumed then
        local frame = s.frame
        if control_parts(b) == 0 and control_parts(frame.control) ~= 0 and frame.count < CELLS then
          s.holding, s.held = true, frame
          frame.entry.held = true
        else
          apply(frame)
        end
        s.frame = new_part(b, at, i)
      end
    end
  end
  if s.in_frame then s.frame.entry.cut_by_end = true end
  return entries
end

local function add_entry(tree, bytes, e)
  local range
  if e.start == nil then
    range = bytes(0, 0)
  else
    local stop = e.positions[#e.positions]
    local length = (stop and stop.at + 1 or (e.continued and 0 or e.start + 1)) - e.start
    range = bytes(e.start, length)
  end
  local c = e.shown
  local kind = KINDS[e.kind]
  local title = string.format("Channel %d, %s: [%s]", e.channel, kind, text_of(c.digits))
  if e.whole_here then
    title = title .. " (the frame held in packet " .. e.continued .. " was whole)"
  elseif e.continued then
    title = title .. " (continued from packet " .. e.continued .. ")"
  end
  if e.resumes then title = title .. " (the rest of the frame a channel-0 frame cut)" end
  if e.held then title = title .. " (ended by a channel-0 frame: held until the next frame)" end
  if e.cut_by_end then title = title .. " (cut by the end of the packet)" end
  if e.damaged then title = title .. " (damaged: " .. e.damaged .. ", skipped)" end
  local t = tree:add(cts, range, title)
  if e.continued then
    t:add(f.channel, e.channel):set_generated()
    t:add(f.kind, kind):set_generated()
    t:add(f.running, e.running):set_generated()
    if not e.whole_here then t:add(f.cut, "start"):set_generated() end
  else
    t:add(f.control, bytes(e.start, 1))
    t:add(f.channel, bytes(e.start, 1), e.channel)
    t:add(f.kind, bytes(e.start, 1), kind)
    t:add(f.running, bytes(e.start, 1), e.running)
  end
  t:add(f.offset, e.offset):set_generated()
  if e.held then t:add(f.cut, "held"):set_generated() end
  if e.cut_by_end then t:add(f.cut, "end"):set_generated() end
  if e.damaged then t:add(f.cut, "damaged"):set_generated() end
  local pairs_text = {}
  for _, p in ipairs(e.positions) do
    pairs_text[#pairs_text + 1] = p.cell .. ":" .. p.value
    local item = t:add(f.cell, bytes(p.at, 1), p.cell)
    item:append_text(", value " .. p.value .. " (" .. glyph(p.value) .. ")")
  end
  t:add(f.cells, table.concat(pairs_text, " ")):set_generated()
  t:add(f.text, text_of(c.digits)):set_generated()
  if e.kind == 1 then t:add(f.format, hex_of(c.format)):set_generated() end
  if e.changed then t:add(f.changed, true):set_generated() end
  local time = time_of(c.digits)
  if e.channel == 0 then
    t:add(f.clock, time):set_generated()
  elseif e.channel <= 10 then
    local lane, place = c.digits[0], c.digits[1]
    if lane and lane < BLANK then t:add(f.lane, lane):set_generated() end
    if place and place < BLANK then t:add(f.place, place):set_generated() end
    if not c.running and time ~= "" then t:add(f.time, time):set_generated() end
  end
end

local decode_as_ran = false

-- The stream bytes of one packet.
local function dissect_bytes(bytes, pinfo, tree)
  local number = pinfo.number
  local entries = packets[number]
  if entries == nil then
    if pinfo.visited then return end -- never read in order: nothing known of its stream
    local interface = interface_field()
    local event = event_field()
    local key = tostring(interface and interface.value or 0) .. "/" ..
                tostring(event and event.value or 0)
    entries = read_packet(bytes:bytes(), stream_for(key), number)
    packets[number] = entries
  end
  if #entries == 0 and entries.orphan == nil then return end
  local subtree = tree:add(cts, bytes(), "CTS Scoreboard Stream")
  if entries.orphan then
    subtree:add(bytes(entries.orphan.start, entries.orphan.count),
                entries.orphan.count .. " data bytes of a frame that began before the capture")
  end
  local summary = {}
  for _, e in ipairs(entries) do
    add_entry(subtree, bytes, e)
    summary[#summary + 1] = e.channel .. ":[" .. text_of(e.shown.digits) .. "]"
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
