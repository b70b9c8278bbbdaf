// A StartContainerRequest as the daemon gets it: each field of the request
// in its place of the create body, and the values the daemon cannot take
// refused with the status the caller sees.
#include "tools/quayd-containerz/StartRequest.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {
namespace {

using nlohmann::json;
namespace pb = ::gnoi::containerz;

pb::StartContainerRequest parse( String const & text ) {
   pb::StartContainerRequest r;
   EXPECT_TRUE( google::protobuf::TextFormat::ParseFromString( text, &r ) ) << text;
   return r;
}

struct Landing {
   char const * request; // text format, beside image_name "bb" tag "1"
   char const * pointer; // where in the create body
   char const * value;   // JSON
};

TEST( StartRequestTest, EachFieldLandsInTheCreateBody ) {
   Landing const cases[] = {
      { R"(ports { internal: 80 external: 8080 })", "/HostConfig/PortBindings/80~1tcp",
        R"([{"HostIp":"","HostPort":"8080"}])" },
      { R"(ports { internal: 53 })", "/ExposedPorts", R"({"53/tcp":{}})" },
      { R"(environment { key: "B" value: "2" } environment { key: "A" value: "x=1" })", "/Env",
        R"(["A=x=1","B=2"])" },
      { R"(volumes { name: "data" mount_point: "/data" read_only: true })", "/HostConfig/Binds",
        R"(["data:/data:ro"])" },
      { R"(devices { src_path: "/dev/fuse" permissions: READ permissions: WRITE })",
        "/HostConfig/Devices",
        R"([{"PathOnHost":"/dev/fuse","PathInContainer":"/dev/fuse","CgroupPermissions":"rw"}])" },
      { R"(cap { add: "NET_ADMIN" remove: "CHOWN" })", "/HostConfig/CapAdd", R"(["NET_ADMIN"])" },
      { R"(cap { add: "NET_ADMIN" remove: "CHOWN" })", "/HostConfig/CapDrop", R"(["CHOWN"])" },
      { R"(restart { policy: ON_FAILURE attempts: 3 })", "/HostConfig/RestartPolicy",
        R"({"Name":"on-failure","MaximumRetryCount":3})" },
      { R"(restart { policy: UNLESS_STOPPED })", "/HostConfig/RestartPolicy/Name",
        R"("unless-stopped")" },
      { R"(run_as { user: "1000" group: "100" })", "/User", R"("1000:100")" },
      { R"(limits { max_cpu: 0.5 })", "/HostConfig/NanoCpus", "500000000" },
      { R"(limits { hard_mem_bytes: 67108864 soft_mem_bytes: 33554432 })", "/HostConfig/Memory",
        "67108864" },
      { R"(limits { hard_mem_bytes: 67108864 soft_mem_bytes: 33554432 })",
        "/HostConfig/MemoryReservation", "33554432" },
      { R"(network: "host")", "/HostConfig/NetworkMode", R"("host")" },
      { R"(cmd: "sh -c 'echo a  b' \"x y\"")", "/Cmd", R"(["sh","-c","echo a  b","x y"])" },
      { R"(labels { key: "tier" value: "web" })", "/Labels/tier", R"("web")" },
      { R"(location: L_PRIMARY)", "/Labels/net.openconfig.containerz.location.intended",
        R"("L_PRIMARY")" },
   };
   for ( auto const & c : cases ) {
      auto const req = parse( String( "image_name: \"bb\" tag: \"1\" " ) + c.request );
      json const body = createBodyOf( req );
      EXPECT_EQ( body.value( "Image", "" ), "bb:1" );
      json::json_pointer const at( c.pointer );
      ASSERT_TRUE( body.contains( at ) ) << c.request << " -> " << body.dump();
      EXPECT_EQ( body.at( at ), json::parse( c.value ) ) << c.request << " -> " << body.dump();
   }
}

TEST( StartRequestTest, AnImageWithoutTagIsItsLatest ) {
   EXPECT_EQ( imageRef( "bb", "" ), "bb:latest" );
   EXPECT_EQ( createBodyOf( parse( R"(image_name: "bb")" ) ).value( "Image", "" ), "bb:latest" );
}

TEST( StartRequestTest, ValuesTheDaemonCannotTakeAreRefused ) {
   struct Refusal {
      char const * request;
      grpc::StatusCode code;
   };
   Refusal const cases[] = {
      { R"(restart { policy: 7 })", grpc::StatusCode::FAILED_PRECONDITION },
      { R"(run_as { group: "100" })", grpc::StatusCode::FAILED_PRECONDITION },
      { R"(cmd: "sh -c 'unclosed")", grpc::StatusCode::INVALID_ARGUMENT },
      { R"(limits { hard_mem_bytes: -1 })", grpc::StatusCode::INVALID_ARGUMENT },
      { R"(limits { max_cpu: -0.5 })", grpc::StatusCode::INVALID_ARGUMENT },
      { R"(cap { add: "two words" })", grpc::StatusCode::INVALID_ARGUMENT },
   };
   for ( auto const & c : cases ) {
      auto const req = parse( String( "image_name: \"bb\" " ) + c.request );
      try {
         createBodyOf( req );
         ADD_FAILURE() << c.request << " was taken";
      } catch ( CallError const & e ) {
         EXPECT_EQ( e.code(), c.code ) << c.request << ": " << e.what();
      }
   }
}

} // namespace
} // namespace Quayd::Containerz
