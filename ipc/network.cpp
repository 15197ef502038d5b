// The IPC event loop and its thread.
#include "ipc/network.h"

IPC_Network::IPC_Network() : m_work(boost::asio::make_work_guard(m_io_service)) {
    m_thread = std::thread([this] { m_io_service.run(); });
}

IPC_Network::~IPC_Network() {
    m_work.reset();
    m_io_service.stop();
    if (m_thread.joinable())
        m_thread.join();
}

std::unique_ptr<IPC_Network::TcpSocket> IPC_Network::CreateNetworkSocket() {
    return std::make_unique<TcpSocket>(m_io_service);
}

std::unique_ptr<IPC_Network::TcpAcceptor> IPC_Network::CreateAcceptor() {
    return std::make_unique<TcpAcceptor>(m_io_service);
}

std::unique_ptr<IPC_Network::DomainSocket> IPC_Network::CreateDomainNetworkSocket() {
    return std::make_unique<DomainSocket>(m_io_service);
}

std::unique_ptr<IPC_Network::DomainAcceptor> IPC_Network::CreateDomainAcceptor() {
    return std::make_unique<DomainAcceptor>(m_io_service);
}

std::shared_ptr<IPC_Network> IPC_Network::GetInstance() {
    // Never destroyed: instances may be released from an application's static
    // destructors, after ours have run, and their sockets still need the loop.
    // The loop thread sleeps in the kernel until the process ends.
    static const auto* const instance = new std::shared_ptr<IPC_Network>(std::make_shared<IPC_Network>());
    return *instance;
}
