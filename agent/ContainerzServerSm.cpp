#include "agent/ContainerzServerSm.h"

namespace Quayd {

ContainerzServerSm::ContainerzServerSm( Ptr< Gnoi::Containerz::Config const > config,
                                        Ptr< Gnoi::Containerz::ServerStatus > status,
                                        Ptr< ContainerzServerInterface > server,
                                        Ptr< TaskScheduler > taskScheduler, String stagingDir,
                                        Sinks sinks )
    : config_( std::move( config ) ), status_( std::move( status ) ),
      server_( std::move( server ) ), stagingDir_( std::move( stagingDir ) ),
      trace_( sinks.trace, "ContainerzServerSm" ) {
   QUAYD_ASSERT( status_ && server_ );
   pollTask_ = makePtr< TimerTask >( std::move( taskScheduler ), TaskPriority( 3 ),
                                     "ContainerzServerPoll", [ this ] { poll(); } );
   if ( config_ ) {
      reactor_.on( config_, Gnoi::Containerz::Config::Attr::grpcConfig,
                   [ this ] { handleGrpcConfig(); } );
   }
   reactor_.start();
}

ContainerzServerSm::~ContainerzServerSm() {
   reactor_.unwatchAll();
   pollTask_ = nullptr;
}

ContainerzServerParams ContainerzServerSm::params() const {
   auto const g = config_ ? config_->grpcConfig() : Gnoi::Containerz::GrpcConfig{};
   return { .netNsPath = netNsPath_.value_or( "" ),
            .stagingDir = stagingDir_,
            .address = g.address,
            .port = g.port,
            .tlsCert = g.tlsCert,
            .tlsKey = g.tlsKey,
            .tlsCa = g.tlsCa,
            .authzPolicy = g.authzPolicy,
            .privilegePolicy = g.privilegePolicy };
}

void ContainerzServerSm::runtimeIs( String const & netNsPath ) {
   netNsPath_ = netNsPath;
   earlierRestarts_ = 0;
   start();
}

void ContainerzServerSm::runtimeDel() {
   netNsPath_.reset();
   pollTask_->stopTimerTask();
   server_->stop();
   status_->stateIs( "stopped" );
   status_->pidIs( 0 );
   status_->addressIs( "" );
   status_->lastErrorIs( "" );
}

void ContainerzServerSm::handleGrpcConfig() {
   if ( netNsPath_ ) {
      QTRACE( trace_, 1, "The listening configuration changed; starting the server anew" );
      start();
   }
}

void ContainerzServerSm::start() {
   auto const p = params();
   auto const g = config_ ? config_->grpcConfig() : Gnoi::Containerz::GrpcConfig{};
   if ( auto const why = g.unsafe() ) {
      // Never served half-secured: one serving by an earlier configuration goes.
      QTRACE( trace_, 0, "The Containerz server is not started: {}", *why );
      pollTask_->stopTimerTask();
      try {
         server_->stop();
      } catch ( RuntimeException const & e ) {
         QTRACE( trace_, 0, "The Containerz server did not stop: {}", e.what() );
      }
      status_->stateIs( "stopped" );
      status_->pidIs( 0 );
      status_->addressIs( "" );
      status_->lastErrorIs( *why );
      return;
   }
   status_->addressIs( g.tls()
                          ? ( p.address.empty() ? "*" : p.address ) + ":" + std::to_string( p.port )
                          : String( "unix:" ) + Gnoi::Containerz::kSocket );
   status_->stateIs( "starting" );
   try {
      server_->start( p );
      status_->lastErrorIs( "" );
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "The Containerz server did not start: {}", e.what() );
      status_->lastErrorIs( e.what() );
   }
   poll();
}

void ContainerzServerSm::poll() {
   if ( !netNsPath_ ) {
      return;
   }
   ContainerzServerState const s = server_->state();
   if ( !s.supervised ) {
      // Gone with its supervisor (or never started): started anew, which
      // counts as a restart.
      if ( status_->state() != "starting" ) {
         QTRACE( trace_, 0, "The Containerz server's supervisor is gone; starting it anew" );
         earlierRestarts_ = status_->restarts() + 1;
         status_->restartsIs( earlierRestarts_ );
         start();
         return;
      }
      status_->stateIs( "restarting" );
      status_->pidIs( 0 );
   } else {
      status_->stateIs( s.pid ? "running" : "restarting" );
      status_->pidIs( s.pid );
      status_->restartsIs( earlierRestarts_ + s.restarts );
   }
   pollTask_->scheduleTaskDelay( kPollInterval );
}

} // namespace Quayd
