// Parser of scenario files (format in sim/README.md) and of node lists.
// The parser only builds the list of actions; trvsim_core.cpp plays them.
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "trvsim.h"
#include "trvsim_internal.h"

namespace trvsim {
namespace {

struct Token {
	std::string text;
	bool quoted = false;
};

// Value of a hex digit, or -1.
int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Splits a line into blank-separated tokens; a double-quoted token keeps its
// blanks and takes the escapes \\ \" \n \r \t \xHH. '#' outside quotes
// starts a comment. False on an unterminated quote or a bad escape.
bool tokenize(std::string_view line, std::vector<Token> &out, std::string &error)
{
	std::size_t i = 0;
	while (i < line.size()) {
		char c = line[i];
		if (std::isspace(static_cast<unsigned char>(c))) {
			++i;
			continue;
		}
		if (c == '#')
			break;
		Token t;
		if (c != '"') {
			while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
				t.text += line[i++];
			out.push_back(std::move(t));
			continue;
		}
		t.quoted = true;
		++i;
		bool closed = false;
		while (i < line.size()) {
			c = line[i++];
			if (c == '"') {
				closed = true;
				break;
			}
			if (c != '\\') {
				t.text += c;
				continue;
			}
			if (i >= line.size())
				break;
			char e = line[i++];
			switch (e) {
			case '\\': t.text += '\\'; break;
			case '"': t.text += '"'; break;
			case 'n': t.text += '\n'; break;
			case 'r': t.text += '\r'; break;
			case 't': t.text += '\t'; break;
			case 'x': {
				int h = i < line.size() ? hex_digit(line[i]) : -1;
				int l = i + 1 < line.size() ? hex_digit(line[i + 1]) : -1;
				if (h < 0 || l < 0) {
					error = "bad \\x escape";
					return false;
				}
				t.text += static_cast<char>(h * 16 + l);
				i += 2;
				break;
			}
			default:
				error = std::string("unknown escape \\") + e;
				return false;
			}
		}
		if (!closed) {
			error = "unterminated quoted text";
			return false;
		}
		out.push_back(std::move(t));
	}
	return true;
}

// Parses a whole token as a number: decimal, or hex after "0x"; an optional
// leading '-'. False when anything is left over or it does not fit.
bool parse_number(const std::string &s, long &out)
{
	if (s.empty())
		return false;
	std::size_t i = 0;
	bool neg = false;
	if (s[0] == '-') {
		neg = true;
		i = 1;
	}
	int base = 10;
	if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
		base = 16;
		i += 2;
	}
	if (i >= s.size())
		return false;
	unsigned long long v = 0;
	for (; i < s.size(); ++i) {
		int d = base == 16 ? hex_digit(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
		if (d < 0)
			return false;
		v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
		if (v > 0xFFFFFFFFull)
			return false;
	}
	out = neg ? -static_cast<long>(v) : static_cast<long>(v);
	return true;
}

// Appends the bytes of a data token: quoted text as it stands, otherwise
// pairs of hex digits with an optional "0x" ("3b", "0x3b", "3b3132").
bool append_bytes(const Token &t, std::vector<std::uint8_t> &out)
{
	if (t.quoted) {
		out.insert(out.end(), t.text.begin(), t.text.end());
		return true;
	}
	std::string_view s = t.text;
	if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
		s.remove_prefix(2);
	if (s.empty() || s.size() % 2 != 0)
		return false;
	for (std::size_t i = 0; i < s.size(); i += 2) {
		int h = hex_digit(s[i]), l = hex_digit(s[i + 1]);
		if (h < 0 || l < 0)
			return false;
		out.push_back(static_cast<std::uint8_t>(h * 16 + l));
	}
	return true;
}

// A 32-bit key entry in hex, with or without "0x" ("1e", "0xe01c").
bool parse_entry(const Token &t, std::uint32_t &out)
{
	std::string_view s = t.text;
	if (t.quoted)
		return false;
	if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
		s.remove_prefix(2);
	if (s.empty() || s.size() > 8)
		return false;
	std::uint32_t v = 0;
	for (char c : s) {
		int d = hex_digit(c);
		if (d < 0)
			return false;
		v = v * 16 + static_cast<std::uint32_t>(d);
	}
	out = v;
	return true;
}

bool parse_attachment(const std::string &s, int &out)
{
	if (s == "ps2")
		out = TRVSIM_PS2;
	else if (s == "usb")
		out = TRVSIM_USB;
	else
		return false;
	return true;
}

// Adds the nodes named by one item: "all", "ps2", "usb" or a node name.
bool add_node_item(std::string_view item, std::vector<int> &out)
{
	if (item == "all" || item == "ps2" || item == "usb") {
		int first = item == "usb" ? TRVSIM_USB_KBDSTAT : 0;
		int last = item == "ps2" ? TRVSIM_USB_KBDSTAT : TRVSIM_NODE_COUNT;
		for (int n = first; n < last; ++n)
			out.push_back(n);
		return true;
	}
	int n = node_of_name(item);
	if (n < 0)
		return false;
	out.push_back(n);
	return true;
}

// Nodes of a comma-separated list of items.
bool parse_node_list(std::string_view s, std::vector<int> &out)
{
	while (!s.empty()) {
		std::size_t comma = s.find(',');
		std::string_view item = s.substr(0, comma);
		if (!add_node_item(item, out))
			return false;
		if (comma == std::string_view::npos)
			break;
		s.remove_prefix(comma + 1);
	}
	return !out.empty();
}

// Parses "at <trigger> <action> <args>" into a; false with error set.
bool parse_at_line(const std::vector<Token> &tok, ScenarioAction &a, std::string &error)
{
	using K = ScenarioAction::Kind;
	std::size_t i = 1;
	auto need = [&](std::size_t n) {
		if (tok.size() < i + n) {
			error = "missing arguments";
			return false;
		}
		return true;
	};
	if (!need(1))
		return false;
	if (tok[i].text == "ms") {
		if (!need(2) || !parse_number(tok[i + 1].text, a.trigger_count) || a.trigger_count < 0) {
			error = error.empty() ? "bad time in ms" : error;
			return false;
		}
		a.trigger = ScenarioAction::Trigger::Ms;
		i += 2;
	} else if (tok[i].text == "reads") {
		if (!need(3))
			return false;
		a.trigger = ScenarioAction::Trigger::Reads;
		a.trigger_node = node_of_name(tok[i + 1].text);
		if (a.trigger_node < 0) {
			error = "unknown node '" + tok[i + 1].text + "'";
			return false;
		}
		if (!parse_number(tok[i + 2].text, a.trigger_count) || a.trigger_count < 0) {
			error = "bad read count";
			return false;
		}
		i += 3;
	} else {
		error = "unknown trigger '" + tok[i].text + "' (ms or reads)";
		return false;
	}
	if (!need(1))
		return false;
	const std::string &act = tok[i++].text;
	std::size_t nargs = tok.size() - i;
	auto arg = [&](std::size_t k) -> const std::string & { return tok[i + k].text; };
	auto want = [&](std::size_t n, bool exact) {
		if (exact ? nargs != n : nargs < n) {
			error = "'" + act + "' takes " + (exact ? "" : "at least ") + std::to_string(n) +
				" argument(s)";
			return false;
		}
		return true;
	};
	auto bad = [&](const std::string &what) {
		error = "'" + act + "': " + what;
		return false;
	};
	// The first two arguments of "swipe" and "track_len": ps2|usb and 1..3.
	auto attachment_and_track = [&] {
		long track = 0;
		if (!parse_attachment(arg(0), a.attachment))
			return bad("attachment must be ps2 or usb");
		if (!parse_number(arg(1), track) || track < 1 || track > 3)
			return bad("track must be 1, 2 or 3");
		a.track = static_cast<int>(track);
		return true;
	};

	if (act == "swipe") {
		a.kind = K::Swipe;
		if (!want(3, false))
			return false;
		if (!attachment_and_track())
			return false;
		for (std::size_t k = 2; k < nargs; ++k)
			if (!append_bytes(tok[i + k], a.bytes))
				return bad("bad data '" + arg(k) + "'");
	} else if (act == "type") {
		a.kind = K::Type;
		if (!want(2, false))
			return false;
		if (!parse_attachment(arg(0), a.attachment))
			return bad("attachment must be ps2 or usb");
		for (std::size_t k = 1; k < nargs; ++k) {
			if (a.attachment == TRVSIM_PS2) {
				if (!append_bytes(tok[i + k], a.bytes))
					return bad("bad bytes '" + arg(k) + "'");
			} else {
				std::uint32_t e = 0;
				if (!parse_entry(tok[i + k], e))
					return bad("bad key entry '" + arg(k) + "'");
				a.entries.push_back(e);
			}
		}
	} else if (act == "keylock") {
		a.kind = K::Keylock;
		if (!want(2, true))
			return false;
		if (!parse_attachment(arg(0), a.attachment))
			return bad("attachment must be ps2 or usb");
		if (!parse_number(arg(1), a.value) || a.value < 0 || a.value > 0xFFFF)
			return bad("position must be 0..0xffff");
	} else if (act == "present" || act == "fail_open" || act == "fail_reads" ||
		   act == "short_reads" || act == "short_writes") {
		a.kind = act == "present"       ? K::Present
			 : act == "fail_open"   ? K::FailOpen
			 : act == "fail_reads"  ? K::FailReads
			 : act == "short_reads" ? K::ShortReads
						: K::ShortWrites;
		if (!want(2, true))
			return false;
		if (!parse_node_list(arg(0), a.nodes))
			return bad("unknown node '" + arg(0) + "'");
		bool is_limit = a.kind == K::ShortReads || a.kind == K::ShortWrites;
		if (is_limit && arg(1) == "off")
			a.value = -1;
		else if (!parse_number(arg(1), a.value))
			return bad("bad number '" + arg(1) + "'");
		if ((a.kind == K::Present || a.kind == K::FailOpen) && a.value != 0 && a.value != 1)
			return bad("value must be 0 or 1");
		if (is_limit && a.value < -1)
			return bad("limit must be a byte count or off");
	} else if (act == "raw_status") {
		a.kind = K::RawStatus;
		if (!want(3, false))
			return false;
		if (!parse_node_list(arg(0), a.nodes))
			return bad("unknown node '" + arg(0) + "'");
		for (int n : a.nodes)
			if (n != TRVSIM_PS2_STAT && n != TRVSIM_USB_KBDSTAT && n != TRVSIM_USB_MSRSTAT)
				return bad("not a status node");
		if (!parse_number(arg(1), a.count))
			return bad("bad count '" + arg(1) + "'");
		for (std::size_t k = 2; k < nargs; ++k)
			if (!append_bytes(tok[i + k], a.bytes))
				return bad("bad bytes '" + arg(k) + "'");
		if (a.bytes.size() > 64)
			return bad("at most 64 bytes");
	} else if (act == "track_len") {
		if (!want(3, true))
			return false;
		if (!attachment_and_track())
			return false;
		if (arg(2) == "off") {
			a.kind = K::ClearLen;
		} else {
			a.kind = K::ForceLen;
			if (!parse_number(arg(2), a.value) || a.value < 0 || a.value > 0xFFFF)
				return bad("length must be 0..0xffff or off");
		}
	} else if (act == "log") {
		a.kind = K::Log;
	} else if (act == "exit") {
		a.kind = K::Exit;
		if (!want(1, true))
			return false;
		if (!parse_number(arg(0), a.value) || a.value < 0 || a.value > 255)
			return bad("status must be 0..255");
	} else {
		error = "unknown action '" + act + "'";
		return false;
	}
	return true;
}

} // namespace

bool parse_nodes_list(std::string_view nodes_list, bool present[], std::string &error)
{
	std::vector<int> nodes;
	std::string items(nodes_list);
	for (char &c : items)
		if (std::isspace(static_cast<unsigned char>(c)))
			c = ',';
	std::string_view rest = items;
	while (!rest.empty() && rest.front() == ',')
		rest.remove_prefix(1);
	while (!rest.empty() && rest.back() == ',')
		rest.remove_suffix(1);
	if (rest != "none") {
		// Blanks turned into commas may leave empty items; skip them.
		std::string_view s = rest;
		while (!s.empty()) {
			std::size_t comma = s.find(',');
			std::string_view item = s.substr(0, comma);
			if (!item.empty() && !add_node_item(item, nodes)) {
				error = "unknown node '" + std::string(item) + "'";
				return false;
			}
			if (comma == std::string_view::npos)
				break;
			s.remove_prefix(comma + 1);
		}
		if (nodes.empty()) {
			error = "empty node list";
			return false;
		}
	}
	for (int i = 0; i < TRVSIM_NODE_COUNT; ++i)
		present[i] = false;
	for (int n : nodes)
		present[n] = true;
	return true;
}

bool parse_scenario(std::string_view text, std::vector<ScenarioAction> &out,
		    std::string &nodes_list, std::string &error, int &error_line)
{
	error_line = 0;
	std::vector<ScenarioAction> actions;
	std::string collected;
	int line_no = 0;
	while (!text.empty()) {
		std::size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
		++line_no;
		if (!line.empty() && line.back() == '\r')
			line.remove_suffix(1);
		std::vector<Token> tok;
		std::string err;
		if (!tokenize(line, tok, err)) {
			error_line = line_no;
			error = err;
			return false;
		}
		if (tok.empty())
			continue;
		if (tok[0].text == "nodes" && !tok[0].quoted) {
			if (tok.size() < 2) {
				error_line = line_no;
				error = "'nodes' needs a list";
				return false;
			}
			collected.clear();
			for (std::size_t k = 1; k < tok.size(); ++k)
				collected += tok[k].text + " ";
			bool present[TRVSIM_NODE_COUNT];
			if (!parse_nodes_list(collected, present, err)) {
				error_line = line_no;
				error = err;
				return false;
			}
			continue;
		}
		if (tok[0].text != "at" || tok[0].quoted) {
			error_line = line_no;
			error = "expected 'at' or 'nodes'";
			return false;
		}
		ScenarioAction a;
		if (!parse_at_line(tok, a, err)) {
			error_line = line_no;
			error = err;
			return false;
		}
		a.line = line_no;
		std::size_t b = line.find_first_not_of(" \t");
		std::size_t e = line.find_last_not_of(" \t");
		a.text = std::string(line.substr(b, e - b + 1));
		actions.push_back(std::move(a));
	}
	out = std::move(actions);
	nodes_list = std::move(collected);
	return true;
}

} // namespace trvsim
