// Helpers shared by the simulator tests: open nodes the way the product does
// and close whatever a test left open.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "status_records.h"
#include "trvsim.h"

class SimTest : public ::testing::Test {
protected:
	void SetUp() override { trvsim_reset(); }
	void TearDown() override
	{
		for (int fd : fds_)
			::close(fd);
		trvsim_reset();
	}

	// Opens a node read-write, as the drivers' users do; fails the test if
	// the open fails.
	int Open(int node, int flags = O_RDWR)
	{
		int fd = ::open(trvsim_node_path(node), flags);
		EXPECT_GT(fd, 0) << trvsim_node_path(node);
		if (fd > 0)
			fds_.push_back(fd);
		return fd;
	}

	void Close(int fd)
	{
		for (auto it = fds_.begin(); it != fds_.end(); ++it)
			if (*it == fd) {
				fds_.erase(it);
				break;
			}
		EXPECT_EQ(::close(fd), 0);
	}

	// Reads up to n bytes; returns what arrived (empty on failure).
	static std::vector<std::uint8_t> Read(int fd, std::size_t n, ssize_t *result = nullptr)
	{
		std::vector<std::uint8_t> buf(n);
		ssize_t r = ::read(fd, buf.data(), n);
		if (result)
			*result = r;
		buf.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
		return buf;
	}

	template <typename Record>
	static Record ReadRecord(int fd)
	{
		Record rec{};
		EXPECT_EQ(::read(fd, &rec, sizeof rec), static_cast<ssize_t>(sizeof rec));
		return rec;
	}

	std::vector<int> fds_;
};
