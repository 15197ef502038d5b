// The one event loop of the IPC layer: an io_context run by a thread of its
// own, on which every accept and receive of the IPC sockets completes.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <memory>
#include <optional>
#include <thread>

// The error type of the IPC layer.
using IPC_NetworkError = boost::system::error_code;

class IPC_Network {
public:
    using TcpSocket = boost::asio::ip::tcp::socket;
    using TcpAcceptor = boost::asio::ip::tcp::acceptor;
    using DomainSocket = boost::asio::local::stream_protocol::socket;
    using DomainAcceptor = boost::asio::local::stream_protocol::acceptor;

    IPC_Network();
    IPC_Network(const IPC_Network&) = delete;
    IPC_Network& operator=(const IPC_Network&) = delete;
    virtual ~IPC_Network();

    virtual std::unique_ptr<TcpSocket> CreateNetworkSocket();
    virtual std::unique_ptr<TcpAcceptor> CreateAcceptor();
    virtual std::unique_ptr<DomainSocket> CreateDomainNetworkSocket();
    virtual std::unique_ptr<DomainAcceptor> CreateDomainAcceptor();

    boost::asio::io_context& GetIoContext() { return m_io_service; }

    // The process-wide loop, made on first use and kept until the process ends.
    static std::shared_ptr<IPC_Network> GetInstance();

private:
    boost::asio::io_context m_io_service;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_work;
    std::thread m_thread;
};
